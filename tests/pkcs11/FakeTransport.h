#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CTransport.h"
#include "TransportKinds.h"

namespace vexa::test {

// A failure the fake transport reports the way a real one would: an
// IOException of this kind and message; with closes, the transport is closed
// first, as stream transports (and a HID device that went away) do.
struct InjectedFailure {
    corvel::TransportFailure failure;
    std::string message;
    bool closes = false;
};

// What a fake token did and will do; shared between the test and the
// transport that the context owns.
struct FakeToken {
    // Answers each request; the default answers rv CKR_OK (08 00).
    std::function<std::vector<uint8_t>(const std::vector<uint8_t>& request)> responder =
        [](const std::vector<uint8_t>&) {
            return std::vector<uint8_t>{0x08, 0x00};
        };
    // Thrown by open when set (as Unreachable).
    std::string throwOnOpen;
    bool throwNonStandard = false;
    // Reported by the next write or read, once.
    std::optional<InjectedFailure> failWrite;
    std::optional<InjectedFailure> failRead;

    // What the transport reports as its device generation: a test that
    // changes it has the token replaced (unplugged and plugged in again).
    uint64_t generation = 0;
    // Each open reaches a new device, as a HID transport's does.
    bool newDeviceOnOpen = false;

    std::vector<std::vector<uint8_t>> requests;
    std::vector<std::string> calls;  // "open", "write", "read", "close", "abandon", in order
    uint32_t timeout = 0;
    bool open = false;
    bool destroyed = false;
};

class FakeTransport : public corvel::CTransport {
public:
    explicit FakeTransport(std::shared_ptr<FakeToken> token) : m_token(std::move(token)) {}
    ~FakeTransport() override { m_token->destroyed = true; }

    void open() override;
    bool isOpen() override { return m_token->open; }
    void close() override;
    void setTimeout(uint32_t milliseconds) override { m_token->timeout = milliseconds; }
    uint32_t getTimeout() override { return m_token->timeout; }
    size_t read(uint8_t* buffer, size_t capacity) override;
    size_t write(const std::vector<uint8_t>& data) override { return write(data.data(), data.size()); }
    size_t write(const uint8_t* data, size_t length) override;
    const char* getName() override { return "FAKE"; }
    uint64_t deviceGeneration() override { return m_token->generation; }
    void abandon() override { m_token->calls.push_back("abandon"); }

private:
    void failIfAsked(std::optional<InjectedFailure>& failure);

    std::shared_ptr<FakeToken> m_token;
    std::vector<uint8_t> m_pendingReply;
};

// A transport kind listing one serial id per token (serial i + 1), each
// served by a FakeTransport. A null token makes the factory give none.
vexa::pkcs11::TransportKind fakeTransportKind(const std::vector<std::shared_ptr<FakeToken>>& tokens);

}  // namespace vexa::test
