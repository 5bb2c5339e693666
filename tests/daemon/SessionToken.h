#pragma once
// A token stand-in that keeps sessions as a token does, for the tests of the
// daemon's session broker: C_OpenSession hands out numbers 1, 2, 3, ...;
// C_CloseSession and every other call on a session succeed for an open
// session and answer CKR_SESSION_HANDLE_INVALID otherwise; C_Login holds
// until the last session closes. It records every call that reaches it.
#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "CTransport.h"
#include "wire/Codec.h"

namespace vexa::daemon::test {

struct TokenCall {
    uint32_t function;
    std::optional<uint32_t> session;
    bool operator==(const TokenCall& other) const { return function == other.function && session == other.session; }
};

class SessionToken {
public:
    // The encoded reply to an encoded request; empty when the token is silent.
    std::vector<uint8_t> answer(const std::vector<uint8_t>& request);

    // A session opened before the daemon came (its number is not handed out
    // again).
    void opened(uint32_t session);
    bool isOpen(uint32_t session) const;
    bool loggedIn() const;
    std::vector<TokenCall> calls() const;
    void forgetCalls();

    // From now on: no reply at all, or C_CloseSession refused with this rv
    // (0: closes as usual).
    bool silent = false;
    uint32_t refuseClose = CKR_OK;

private:
    wire::Response respond(const wire::Request& request);

    mutable std::mutex m_mutex;  // guards everything below
    std::set<uint32_t> m_sessions;
    uint32_t m_next = 1;
    bool m_loggedIn = false;
    std::vector<TokenCall> m_calls;
};

// The same token behind the transport interface, for a port.
class SessionTokenTransport : public corvel::CTransport {
public:
    explicit SessionTokenTransport(SessionToken& token) : m_token(token) {}
    bool isOpen() override { return true; }
    uint32_t getTimeout() override { return 0; }
    const char* getName() override { return "SESSIONS"; }
    size_t write(const std::vector<uint8_t>& data) override;
    size_t write(const uint8_t* data, size_t length) override;
    size_t read(uint8_t* buffer, size_t capacity) override;

private:
    SessionToken& m_token;
    std::vector<uint8_t> m_reply;
};

// An encoded request of a function, on a session or on the token.
std::vector<uint8_t> EncodedCall(uint32_t function, std::optional<uint32_t> session = std::nullopt);

}  // namespace vexa::daemon::test
