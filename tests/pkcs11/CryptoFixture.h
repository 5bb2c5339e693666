#pragma once
// One fake token on slot 0 with a session the library knows, for the tests
// of the mechanism and cryptographic functions.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "ScriptedTokenFixture.h"

namespace vexa::test {

// Token replies in a few words.
inline Response status(CK_RV rv)
{
    Response response;
    response.rv = static_cast<uint32_t>(rv);
    return response;
}

inline Response withOutput(CK_RV rv, std::optional<Bytes> output, std::optional<uint32_t> outputLength = std::nullopt)
{
    Response response = status(rv);
    response.output = std::move(output);
    response.outputLength = outputLength;
    return response;
}

inline Response withLength(CK_RV rv, uint32_t outputLength) { return withOutput(rv, std::nullopt, outputLength); }

inline Response withHandles(CK_RV rv, uint32_t handle, std::optional<uint32_t> handle2 = std::nullopt)
{
    Response response = status(rv);
    response.handle = handle;
    response.handle2 = handle2;
    return response;
}

class CryptoFixture : public ScriptedTokenFixture {
protected:
    static constexpr uint32_t kTokenSession = 7;
    // Neither a session the library holds nor 0.
    static constexpr CK_SESSION_HANDLE kUnknownSession = 0x4242;

    void SetUp() override
    {
        startTokens(1);
        session = knownSession(0, kTokenSession);
        // Success with the handles that key functions need in every reply.
        reply(withHandles(CKR_OK, 0x61u, 0x62u));
    }

    size_t exchanges() { return token().requests.size(); }

    // Whether `call` finishes while another thread holds the exchange lock of
    // slot 0's token (as during a long key generation). The lock is released
    // after two seconds at the latest, so a call that waits for it never
    // hangs the test.
    bool finishesWhileTokenHeld(const std::function<void()>& call)
    {
        vexa::pkcs11::CExchangeLock& lock = context->slots().find(0)->exchangeLock();
        if (lock.acquire(std::chrono::seconds(1)) != vexa::pkcs11::CExchangeLock::Outcome::Held) {
            return false;
        }
        std::atomic<bool> done{false};
        std::thread caller([&] {
            call();
            done = true;
        });
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!done && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const bool finished = done;
        lock.release();
        caller.join();
        return finished;
    }

    CK_SESSION_HANDLE session = 0;
};

}  // namespace vexa::test
