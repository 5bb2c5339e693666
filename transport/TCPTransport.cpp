#include "TCPTransport.h"

#include <stdexcept>

#include "ClientPacket.h"
#include "Exception.h"

namespace corvel {
namespace {

class CSilentLog final : public ILogTarget {
public:
    void logText(int32_t, const std::string&) override {}
};

ILogTarget* orSilent(ILogTarget* target)
{
    static CSilentLog silent;
    return target != nullptr ? target : &silent;
}

}  // namespace

TCPTransport::TCPTransport(TlsClientOptions options, ILogTarget* logTarget)
    : m_connection(std::move(options), orSilent(logTarget))
{}

TCPTransport::TCPTransport(std::string address, int32_t port, std::string caFile, ILogTarget* logTarget)
    : TCPTransport(TlsClientOptions{std::move(address), port, std::move(caFile), "", ""}, logTarget)
{}

TCPTransport::~TCPTransport() { close(); }

void TCPTransport::open()
{
    close();
    if (!m_connection.connect(m_timeout)) {
        throw IOException(TransportFailure::Unreachable, "connection failed");
    }
}

bool TCPTransport::isOpen() { return m_connection.isConnected(); }

void TCPTransport::close() { m_connection.close(); }

void TCPTransport::abandon() { m_connection.abandon(); }

void TCPTransport::setTimeout(uint32_t milliseconds)
{
    m_timeout = milliseconds;
    m_connection.setReadTimeout(milliseconds);
}

uint32_t TCPTransport::getTimeout() { return m_timeout; }

size_t TCPTransport::read(uint8_t* buffer, size_t capacity)
{
    if (buffer == nullptr && capacity != 0) {
        throw std::invalid_argument("Null read buffer");
    }
    if (capacity == 0) {
        return 0;
    }
    if (!m_connection.isConnected()) {
        throw IOException(TransportFailure::Closed, "tls port not open, read failed.");
    }
    // As on the Unix socket, a time-out of 0 means "do not wait"; for the TLS
    // library it would mean waiting for ever.
    if (m_timeout == 0) {
        close();
        throw IOException(TransportFailure::TimedOut, "No reply from the daemon within the time-out");
    }
    const int result = m_connection.read(buffer, capacity);
    if (result <= 0) {
        failRead(TlsClientConnection::isTimeout(result) ? TransportFailure::TimedOut : TransportFailure::Closed,
                 result);
    }
    const auto received = static_cast<size_t>(result);
    if (received == capacity && m_connection.bytesWaiting()) {
        close();
        throw IOException(TransportFailure::TooLong, "Reply longer than the read buffer");
    }
    return received;
}

void TCPTransport::failRead(TransportFailure failure, int result)
{
    close();
    throw IOException(failure, "tls read failed: " + std::to_string(result));
}

size_t TCPTransport::write(const std::vector<uint8_t>& data) { return write(data.data(), data.size()); }

size_t TCPTransport::write(const uint8_t* data, size_t length)
{
    if (data == nullptr && length != 0) {
        throw std::invalid_argument("Null data buffer");
    }
    if (length > kClientPayloadMax) {
        throw IOException(TransportFailure::TooLong, "Request too long for a client packet");
    }
    if (!m_connection.isConnected()) {
        throw IOException(TransportFailure::Closed, "tls port not open, write failed.");
    }
    // A request sent into a connection the daemon has closed would be lost;
    // failing here as Closed lets the caller send it over a fresh one.
    if (m_connection.endedByPeer()) {
        close();
        throw IOException(TransportFailure::Closed, "tls connection closed by the daemon");
    }
    ClientPacketBuffer packet;
    const size_t packetLength = buildClientPacket(data, length, packet);
    const int result = m_connection.write(packet.data(), packetLength);
    if (result < 0) {
        close();
        throw IOException(TransportFailure::Closed, "tls write failed: " + std::to_string(result));
    }
    return length;
}

const char* TCPTransport::getName() { return "TCP"; }

}  // namespace corvel
