#pragma once
// Behaviour of a working token, written once and run against each link: the
// engine in-process, and the simulated device over HID in both framings.
#include <gtest/gtest.h>

#include <memory>

#include "TokenFunctionIds.h"
#include "TokenClient.h"

namespace vexa::test::engine {

namespace fn = vexa::sim::engine::fn;

class TokenBehaviour : public ::testing::TestWithParam<LinkKind> {
protected:
    void SetUp() override {
        link_ = GetParam().make();
        client_ = std::make_unique<TokenClient>(*link_);
    }
    // Logs out and ends every session, so a token shared by several tests
    // starts each of them logged out.
    void TearDown() override {
        Request closeAll;
        closeAll.function = fn::CloseAllSessions;
        try {
            client_->call(closeAll);
        } catch (const std::exception&) {
        }
    }

    TokenClient& token() { return *client_; }
    Response call(uint32_t function, uint32_t session, const std::function<void(Request&)>& fill = {}) {
        return client_->call(function, session, fill);
    }
    // A read-write session with the user logged in.
    uint32_t userSession() {
        uint32_t s = client_->openSession();
        client_->login(s);
        return s;
    }

private:
    std::unique_ptr<TokenLink> link_;
    std::unique_ptr<TokenClient> client_;
};

std::string linkName(const ::testing::TestParamInfo<LinkKind>& info);
void PrintTo(const LinkKind& kind, std::ostream* os);

}  // namespace vexa::test::engine
