#pragma once
// A context whose slots are fake tokens answering from a script:
//
//   class MyTest : public vexa::test::ScriptedTokenFixture {};
//   TEST_F(MyTest, Example) {
//       startTokens(1);
//       const CK_SESSION_HANDLE session = knownSession(0, 5);
//       reply({CKR_OK});
//       EXPECT_EQ(context->C_Logout(session), CKR_OK);
//       EXPECT_EQ(sent().at(0).session, 5u);
//   }
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ContextFixture.h"
#include "FakeHidTransport.h"
#include "ScriptedToken.h"

namespace vexa::test {

class ScriptedTokenFixture : public ContextFixture {
protected:
    // C_Initialize with `count` fake tokens, which become slots 0 to count-1;
    // what the initialisation itself sent is forgotten.
    void startTokens(size_t count = 1)
    {
        tokens = useTokens(count);
        initialize();
    }

    // The same with tokens that look like HID devices named `products`.
    void startHidTokens(const std::vector<std::string>& products)
    {
        tokens.clear();
        for (size_t i = 0; i < products.size(); ++i) {
            tokens.push_back(std::make_shared<FakeToken>());
        }
        context->setTransportKind(fakeHidTransportKind(tokens, products));
        initialize();
    }

    FakeToken& token(size_t slot = 0) { return *tokens.at(slot); }

    void script(std::function<Response(const Request&)> answer, size_t slot = 0)
    {
        token(slot).responder = respondWith(std::move(answer));
    }

    // The same reply to every request.
    void reply(const Response& response, size_t slot = 0)
    {
        script([response](const Request&) { return response; }, slot);
    }

    // What the library sent to the token of `slot`, decoded, oldest first.
    std::vector<Request> sent(size_t slot = 0) { return decodeAll(token(slot).requests); }

    // A handle the library knows as open on `slot` with the token's session
    // number `number`, made without an exchange.
    CK_SESSION_HANDLE knownSession(vexa::pkcs11::SlotId slot, uint32_t number)
    {
        const CK_SESSION_HANDLE handle = (static_cast<CK_SESSION_HANDLE>(slot) << 56) | number;
        context->sessions().add(handle, vexa::pkcs11::SessionEntry{slot, 0});
        return handle;
    }

    std::vector<std::shared_ptr<FakeToken>> tokens;

private:
    void initialize()
    {
        ASSERT_EQ(context->C_Initialize(nullptr), CKR_OK);
        for (auto& token : tokens) {
            token->requests.clear();
            token->calls.clear();
        }
    }
};

}  // namespace vexa::test
