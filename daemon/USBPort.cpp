#include "USBPort.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <system_error>
#include <thread>

#include "CHIDTransport.h"
#include "DaemonLog.h"
#include "Exception.h"
#include "ProcessWatcher.h"

namespace vexa::daemon {

std::unique_ptr<corvel::CTransport> OpenUSBPort(uint16_t vendorId, uint16_t productId, uint32_t timeout,
                                                const char* product, const char* serial)
{
    auto transport = std::make_unique<corvel::CHIDTransport>();
    try {
        transport->setVendorProductId(vendorId, productId);
        if (product != nullptr) {
            transport->setProduct(product);
        }
        if (serial != nullptr) {
            transport->setSerialNumber(serial);
        }
        transport->open();
        transport->setTimeout(timeout);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Error opening port: %s\n", e.what());
        return nullptr;
    }
    return transport;
}

void CloseUSBPort(corvel::CTransport* transport)
{
    if (transport != nullptr) {
        transport->close();
    }
}

namespace {

enum class WriteResult { Sent, NotAnswered, Failed };

// WriteUSBPort, telling a token that only did not answer from a port that is
// broken: a write that first had to bring the transport back in step after
// an abandoned reply, and got no answer, sent nothing, and the token is
// still there.
WriteResult WriteRequest(corvel::CTransport* transport, const uint8_t* data, uint32_t length)
{
    if (transport == nullptr) {
        return WriteResult::Failed;
    }
    try {
        transport->write(data, length);
    } catch (const corvel::IOException& e) {
        std::fprintf(stderr, "Error writing to port %s\n", e.what());
        return e.failure() == corvel::TransportFailure::TimedOut ? WriteResult::NotAnswered : WriteResult::Failed;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Error writing to port %s\n", e.what());
        return WriteResult::Failed;
    }
    return WriteResult::Sent;
}

}  // namespace

bool WriteUSBPort(corvel::CTransport* transport, const uint8_t* data, uint32_t length)
{
    return WriteRequest(transport, data, length) == WriteResult::Sent;
}

bool ReadUSBPort(corvel::CTransport* transport, uint8_t* buffer, uint32_t& length)
{
    if (transport == nullptr) {
        return false;
    }
    try {
        length = static_cast<uint32_t>(transport->read(buffer, length));
    } catch (const corvel::IOException& e) {
        length = 0;
        // A token that does not answer in time leaves the connection waiting
        // for the client's next request, as an empty reply would.
        if (e.failure() == corvel::TransportFailure::TimedOut) {
            return true;
        }
        std::fprintf(stderr, "Error reading from port%s\n", e.what());
        return false;
    } catch (const std::exception& e) {
        length = 0;
        std::fprintf(stderr, "Error reading from port%s\n", e.what());
        return false;
    }
    return true;
}

CThreadSafeUSBPort::CThreadSafeUSBPort(std::string serial, std::unique_ptr<corvel::CTransport> transport)
    : m_serial(std::move(serial)), m_transport(std::move(transport)), m_broker(m_serial, this)
{}

bool CThreadSafeUSBPort::open(uint32_t timeout)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_transport == nullptr) {
        m_transport = OpenUSBPort(kTokenVendorId, kTokenProductId, timeout, nullptr, m_serial.c_str());
    }
    return m_transport != nullptr;
}

void CThreadSafeUSBPort::closeTransport()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    CloseUSBPort(m_transport.get());
    m_transport.reset();
}

CPortClient::~CPortClient()
{
    if (m_peer.pidfd >= 0) {
        close(m_peer.pidfd);
    }
}

ClientId CThreadSafeUSBPort::attach_inlock(CPortClient& client)
{
    if (client.m_id == 0) {
        client.m_id = client.m_label.empty() ? m_broker.attachProcess(client.m_peer.pid, client.m_peer.pidfd)
                                             : m_broker.attachConnection(client.m_label);
        client.m_peer.pidfd = -1;  // the broker's now
    }
    return client.m_id;
}

void CThreadSafeUSBPort::detach(CPortClient& client)
{
    if (client.m_id == 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (reachable_inlock()) {
        m_broker.detach(client.m_id, *this);
    }
}

void CThreadSafeUSBPort::processEnded(ClientId client)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (reachable_inlock()) {
        m_broker.processEnded(client, *this);
    }
}

bool CThreadSafeUSBPort::reachable_inlock()
{
    if (m_transport != nullptr && usable()) {
        return true;
    }
    m_broker.clear();  // the token, or the port's hold on it, has gone with its sessions
    return false;
}

bool CThreadSafeUSBPort::inService_inlock()
{
    if (m_transport == nullptr) {
        LogMessage(corvel::kLogError, "USB port is NULL.");
        markUnusable();
    } else if (!usable()) {
        // A replaced port must not talk to the token beside its successor.
        LogMessage(corvel::kLogError, "USB port of %s is no longer in service.", m_serial.c_str());
    }
    return reachable_inlock();
}

CThreadSafeUSBPort::Outcome CThreadSafeUSBPort::exchange(CPortClient& client, uint8_t* buffer, uint32_t requestLength,
                                                         uint32_t& replyLength,
                                                         const std::function<bool()>& stillWanted)
{
    replyLength = kMaxMessage;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!inService_inlock()) {
        return Outcome::Failed;
    }
    // Behind a slow token, clients queue here for a long time; a request
    // whose client has given up would only change the token's state and keep
    // the others waiting longer.
    if (stillWanted && !stillWanted()) {
        return Outcome::Dropped;
    }
    return m_broker.serve(attach_inlock(client), buffer, requestLength, replyLength, *this);
}

CThreadSafeUSBPort::Outcome CThreadSafeUSBPort::transfer(uint8_t* buffer, uint32_t length, uint32_t& replyLength)
{
    replyLength = kMaxMessage;
    const WriteResult written = WriteRequest(m_transport.get(), buffer, length);
    if (written != WriteResult::Sent) {
        LogMessage(corvel::kLogError, "Failed to send USB cmd to %s.", m_serial.c_str());
        if (written == WriteResult::Failed) {
            markUnusable();
        }
        return Outcome::Failed;
    }
    const bool replied = ReadUSBPort(m_transport.get(), buffer, replyLength);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return replied ? Outcome::Replied : Outcome::Failed;
}

uint64_t CThreadSafeUSBPort::watch(int pidfd, ClientId client)
{
    // A port that no shared pointer holds (a test's) cannot be reached later.
    std::weak_ptr<CThreadSafeUSBPort> self = weak_from_this();
    if (self.expired()) {
        return 0;
    }
    return CProcessWatcher::daemonWide().watch(pidfd, [self, client] {
        const PortPtr port = self.lock();
        if (port == nullptr) {
            return;
        }
        // Closing the sessions waits for the token: not on the watcher's thread.
        try {
            std::thread([port, client] { port->processEnded(client); }).detach();
        } catch (const std::system_error&) {
            port->processEnded(client);
        }
    });
}

void CThreadSafeUSBPort::forget(uint64_t handle) { CProcessWatcher::daemonWide().forget(handle); }

void DestroyPort(CThreadSafeUSBPort* port)
{
    if (port == nullptr) {
        return;
    }
    port->closeTransport();
    delete port;
}

PortPtr createPort(const std::string& serial, uint32_t timeout)
{
    PortPtr port(new CThreadSafeUSBPort(serial), DestroyPort);
    if (!port->open(timeout)) {
        return nullptr;
    }
    return port;
}

}  // namespace vexa::daemon
