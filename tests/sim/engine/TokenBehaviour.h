#pragma once
// Behaviour of a working token, written once and run against each link: the
// engine in-process, and the simulated device over HID in both framings.
#include <gtest/gtest.h>

#include <memory>

#include "TokenClient.h"
#include "wire/Functions.h"

namespace vexa::test::engine {

class TokenBehaviour : public ::testing::TestWithParam<LinkKind> {
protected:
    void SetUp() override
    {
        m_link = GetParam().make();
        m_client = std::make_unique<TokenClient>(*m_link);
    }
    // Logs out and ends every session, so a token shared by several tests
    // starts each of them logged out.
    void TearDown() override
    {
        Request closeAll;
        closeAll.function = fn::CloseAllSessions;
        try {
            m_client->call(closeAll);
        } catch (const std::exception&) {
        }
    }

    TokenClient& token() { return *m_client; }
    Response call(uint32_t function, uint32_t session, const std::function<void(Request&)>& fill = {})
    {
        return m_client->call(function, session, fill);
    }
    // A read-write session with the user logged in.
    uint32_t userSession()
    {
        uint32_t s = m_client->openSession();
        m_client->login(s);
        return s;
    }

private:
    std::unique_ptr<TokenLink> m_link;
    std::unique_ptr<TokenClient> m_client;
};

std::string linkName(const ::testing::TestParamInfo<LinkKind>& info);
void PrintTo(const LinkKind& kind, std::ostream* os);

}  // namespace vexa::test::engine
