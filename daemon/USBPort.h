#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "CTransport.h"
#include "PeerProcess.h"
#include "SessionBroker.h"

namespace vexa::daemon {

constexpr uint16_t kTokenVendorId = 0x0483;
constexpr uint16_t kTokenProductId = 0xA2AC;
// Largest request payload accepted and the capacity every token read gets.
constexpr uint32_t kMaxMessage = 4096;
static_assert(kBrokerBuffer == kMaxMessage, "the broker answers in the port's buffer");

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

// One connection as a port's clients go: who it is, and, from its first
// request on, the client the port's broker knows it as. A connection is
// taken on at its first request, under the port's lock like every
// exchange, so that one waiting behind a slow token does not hold up the
// others' reading of their requests.
class CPortClient {
public:
    // A connection of a process (Unix sockets): all the process's connections
    // are one client. Takes over the peer's pidfd.
    explicit CPortClient(PeerProcess peer) : m_peer(peer) {}
    // A connection that is a client of its own (TLS); label names it in log
    // lines.
    explicit CPortClient(std::string label) : m_label(std::move(label)) {}
    ~CPortClient();
    CPortClient(const CPortClient&) = delete;
    CPortClient& operator=(const CPortClient&) = delete;

private:
    friend class CThreadSafeUSBPort;
    PeerProcess m_peer;   // its pidfd goes to the broker with the first request
    std::string m_label;  // empty for a process
    ClientId m_id = 0;    // 0 until the first request
};

// One token's transport shared by its device thread and all its client
// connections, which take turns through the mutex: one request and its reply
// at a time. The token's sessions are shared out among the clients by its
// broker (SessionBroker.h), under the same mutex.
class CThreadSafeUSBPort final : public std::enable_shared_from_this<CThreadSafeUSBPort>,
                                 private ITokenLink,
                                 private IProcessWatch {
public:
    explicit CThreadSafeUSBPort(std::string serial, std::unique_ptr<corvel::CTransport> transport = nullptr);

    const std::string& serial() const { return m_serial; }

    // Opens the token by its serial unless a transport is already set.
    bool open(uint32_t timeout);
    // Closes and drops the transport; later exchanges fail.
    void closeTransport();

    using Outcome = ExchangeOutcome;

    // One of a client's connections has ended: a client that has gone has
    // the sessions it left open closed. Waits for the port only when the
    // connection made a request.
    void detach(CPortClient& client);

    // Serves the client's request of requestLength bytes in buffer
    // (kMaxMessage bytes large) and leaves the reply in its place: the broker
    // passes it to the token, which answers into the same buffer, followed by
    // a 1 ms pause so consecutive requests to the token are spaced, or
    // answers it itself. A failed write or a missing transport makes the port
    // unusable; an unusable port refuses. stillWanted, when given, is asked
    // once the port is this request's: a client that left while it waited
    // behind others is not served.
    Outcome exchange(CPortClient& client, uint8_t* buffer, uint32_t requestLength, uint32_t& replyLength,
                     const std::function<bool()>& stillWanted);
    bool exchange(CPortClient& client, uint8_t* buffer, uint32_t requestLength, uint32_t& replyLength)
    {
        return exchange(client, buffer, requestLength, replyLength, nullptr) == Outcome::Replied;
    }

    // False once the token cannot be written to or has gone; never set back.
    bool usable() const { return m_usable.load(); }
    void markUnusable() { m_usable.store(false); }

private:
    // The token as the broker reaches it: one write and read, then the pause.
    Outcome transfer(uint8_t* buffer, uint32_t length, uint32_t& replyLength) override;
    // Client processes are watched through the daemon's process watcher,
    // which tells the port (while it lasts) when one has ended.
    uint64_t watch(int pidfd, ClientId client) override;
    void forget(uint64_t handle) override;
    void processEnded(ClientId client);
    ClientId attach_inlock(CPortClient& client);
    // False (and the broker emptied) when the port cannot reach the token;
    // the exchange's version logs why.
    bool inService_inlock();
    bool reachable_inlock();

    const std::string m_serial;
    std::mutex m_mutex;  // guards m_transport (every call on it, and each exchange as a whole) and m_broker
    std::unique_ptr<corvel::CTransport> m_transport;
    CSessionBroker m_broker;
    std::atomic<bool> m_usable{true};
};

// Closes the port's transport and releases the port; null is ignored.
void DestroyPort(CThreadSafeUSBPort* port);

using PortPtr = std::shared_ptr<CThreadSafeUSBPort>;

// A port for the token with this serial, opened with the given timeout and
// released through DestroyPort; null when the token cannot be opened.
PortPtr createPort(const std::string& serial, uint32_t timeout);

}  // namespace vexa::daemon
