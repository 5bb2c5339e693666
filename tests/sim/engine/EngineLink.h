#pragma once
// The engine in this process: requests go straight to TokenEngine::handle.
#include "TokenClient.h"
#include "TokenEngine.h"

namespace vexa::test::engine {

class EngineLink : public TokenLink {
public:
    EngineLink(const std::string& stateDir, const vexa::sim::TokenIdentity& identity)
        : m_engine(identity, options(stateDir))
    {}

    Bytes exchange(const Bytes& request) override
    {
        Bytes reply;
        if (!m_engine.handle(request, reply)) {
            reply.clear();
        }
        return reply;
    }

private:
    static vexa::sim::engine::EngineOptions options(const std::string& stateDir)
    {
        vexa::sim::engine::EngineOptions o;
        o.stateDir = stateDir;
        return o;
    }

    vexa::sim::engine::CTokenEngine m_engine;
};

}  // namespace vexa::test::engine
