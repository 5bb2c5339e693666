#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "CTransport.h"

namespace vexa::daemon {

constexpr uint16_t kTokenVendorId = 0x0483;
constexpr uint16_t kTokenProductId = 0xA2AC;
// Largest request payload accepted and the capacity every token read gets.
constexpr uint32_t kMaxMessage = 4096;

// The port operations turn the transport's exceptions into a false (or null)
// result and a line on standard error.

// An opened HID transport for the token, or null. product and serial may be
// null; an empty serial takes the first token of the ids.
std::unique_ptr<corvel::CTransport> OpenUSBPort(uint16_t vendorId, uint16_t productId, uint32_t timeout,
                                                const char* product, const char* serial);
void CloseUSBPort(corvel::CTransport* transport);
bool WriteUSBPort(corvel::CTransport* transport, const uint8_t* data, uint32_t length);
// length: the capacity on entry, the number of reply bytes on return.
bool ReadUSBPort(corvel::CTransport* transport, uint8_t* buffer, uint32_t& length);

// One token's transport shared by its device thread and all its client
// connections, which take turns through the mutex: one request and its reply
// at a time.
class CThreadSafeUSBPort {
public:
    explicit CThreadSafeUSBPort(std::string serial, std::unique_ptr<corvel::CTransport> transport = nullptr);

    const std::string& serial() const { return m_serial; }

    // Opens the token by its serial unless a transport is already set.
    bool open(uint32_t timeout);
    // Closes and drops the transport; later exchanges fail.
    void closeTransport();

    enum class Outcome {
        Replied,  // the reply (possibly empty after a time-out) is in the buffer
        Failed,   // logged; the connection ends
        Dropped,  // the request was no longer wanted and never reached the token
    };

    // Sends the request of requestLength bytes in buffer (kMaxMessage bytes
    // large) and reads the reply into the same buffer, then pauses 1 ms so
    // consecutive requests to the token are spaced. A failed write or a
    // missing transport makes the port unusable; an unusable port refuses.
    // stillWanted, when given, is asked once the port is this request's: a
    // client that left while it waited behind others is not served.
    Outcome exchange(uint8_t* buffer, uint32_t requestLength, uint32_t& replyLength,
                     const std::function<bool()>& stillWanted);
    bool exchange(uint8_t* buffer, uint32_t requestLength, uint32_t& replyLength)
    {
        return exchange(buffer, requestLength, replyLength, nullptr) == Outcome::Replied;
    }

    // False once the token cannot be written to or has gone; never set back.
    bool usable() const { return m_usable.load(); }
    void markUnusable() { m_usable.store(false); }

private:
    const std::string m_serial;
    std::mutex m_mutex;  // guards m_transport: every call on it, and each exchange as a whole
    std::unique_ptr<corvel::CTransport> m_transport;
    std::atomic<bool> m_usable{true};
};

// Closes the port's transport and releases the port; null is ignored.
void DestroyPort(CThreadSafeUSBPort* port);

using PortPtr = std::shared_ptr<CThreadSafeUSBPort>;

// A port for the token with this serial, opened with the given timeout and
// released through DestroyPort; null when the token cannot be opened.
PortPtr CreatePort(const std::string& serial, uint32_t timeout);

}  // namespace vexa::daemon
