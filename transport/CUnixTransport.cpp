#include "CUnixTransport.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "ClientPacket.h"
#include "DirectoryTrust.h"
#include "Exception.h"
#include "PeerCredentials.h"

namespace corvel {

CUnixTransport::CUnixTransport(std::string socketPath, ILogTarget* logTarget)
    : m_socketPath(std::move(socketPath)), m_logTarget(logTarget), m_trustedUsers(serviceUserIds())
{}

CUnixTransport::~CUnixTransport() { close(); }

void CUnixTransport::open()
{
    close();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // A longer path is cut; the daemon refuses to serve such a socket anyway.
    std::strncpy(address.sun_path, m_socketPath.c_str(), sizeof address.sun_path - 1);

    m_socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_socket < 0) {
        throw IOException(TransportFailure::Unreachable, "connection failed");
    }
    applyReceiveTimeout();
    const int result = ::connect(m_socket, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (result != 0) {
        ::close(m_socket);
        m_socket = -1;
        throw IOException(TransportFailure::Unreachable, "connection failed");
    }
    requireTrustedPeer();
    m_open = true;
}

// The credentials are those of the process that listened on the socket.
void CUnixTransport::requireTrustedPeer()
{
    const std::optional<PeerCredentials> peer = peerCredentials(m_socket);
    if (peer && isTrustedPeer(peer->uid, m_trustedUsers)) {
        return;
    }
    ::close(m_socket);
    m_socket = -1;
    const std::string who = peer ? "is served by " + describeUser(peer->uid) : "does not tell who serves it";
    throw IOException(TransportFailure::Unreachable,
                      "Refusing socket " + m_socketPath + ": it " + who +
                          ", not by root, this process's user or a user of transport.trustedusers; nothing was sent");
}

bool CUnixTransport::isOpen() { return m_open; }

void CUnixTransport::close()
{
    if (m_open && m_logTarget != nullptr) {
        m_logTarget->logText(kLogDebug, "Closing socket.");
    }
    if (m_socket != -1) {
        ::close(m_socket);
        m_socket = -1;
    }
    m_open = false;
}

void CUnixTransport::setTimeout(uint32_t milliseconds)
{
    m_timeout = milliseconds;
    if (m_socket != -1) {
        applyReceiveTimeout();
    }
}

uint32_t CUnixTransport::getTimeout() { return m_timeout; }

void CUnixTransport::applyReceiveTimeout()
{
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(m_timeout / 1000);
    tv.tv_usec = static_cast<suseconds_t>((m_timeout % 1000) * 1000);
    (void)::setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

size_t CUnixTransport::write(const std::vector<uint8_t>& data) { return write(data.data(), data.size()); }

size_t CUnixTransport::write(const uint8_t* data, size_t length)
{
    if (data == nullptr && length != 0) {
        throw std::invalid_argument("Null data buffer");
    }
    if (!isOpen()) {
        throw IOException(TransportFailure::Closed, "Attempt to write to closed socket.");
    }
    if (length > kClientPayloadMax) {
        throw IOException(TransportFailure::TooLong, "Request too long for a client packet");
    }
    ClientPacketBuffer packet;
    const size_t packetLength = buildClientPacket(data, length, packet);
    if (!sendAll(packet.data(), packetLength)) {
        const std::string message = "Socket write error " + std::to_string(errno);
        close();
        throw IOException(TransportFailure::Closed, message);
    }
    return length;
}

// MSG_NOSIGNAL: a daemon that went away must not end the application with
// SIGPIPE, and the application's own signal disposition stays untouched.
bool CUnixTransport::sendAll(const uint8_t* data, size_t length)
{
    size_t sent = 0;
    while (sent < length) {
        const ssize_t n = ::send(m_socket, data + sent, length - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

size_t CUnixTransport::read(uint8_t* buffer, size_t capacity)
{
    if (buffer == nullptr && capacity != 0) {
        throw std::invalid_argument("Null read buffer");
    }
    if (capacity == 0) {
        return 0;
    }
    if (!isOpen()) {
        throw IOException(TransportFailure::Closed, "Attempt to read from closed socket.");
    }
    // A timeout of 0 would make the receive timeout infinite; it means "do not wait".
    if (m_timeout == 0) {
        failRead(TransportFailure::TimedOut, "No reply from the daemon within the time-out");
    }
    const size_t received = receiveReply(buffer, capacity);
    if (received == capacity && moreBytesWaiting()) {
        failRead(TransportFailure::TooLong, "Reply longer than the read buffer");
    }
    return received;
}

// The daemon writes each reply with one write, which one receive takes whole:
// it waits for the first bytes and returns every byte there is, up to
// capacity. (A peek before it would only cost a second system call.)
size_t CUnixTransport::receiveReply(uint8_t* buffer, size_t capacity)
{
    for (;;) {
        const ssize_t n = ::recv(m_socket, buffer, capacity, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n == 0) {
            failRead(TransportFailure::Closed, "Connection closed by the daemon");
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                failRead(TransportFailure::TimedOut, "No reply from the daemon within the time-out");
            }
            failRead(TransportFailure::Closed, "Socket read error " + std::to_string(errno));
        }
        return static_cast<size_t>(n);
    }
}

bool CUnixTransport::moreBytesWaiting()
{
    uint8_t probe;
    return ::recv(m_socket, &probe, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

void CUnixTransport::failRead(TransportFailure failure, const std::string& message)
{
    close();
    throw IOException(failure, message);
}

const char* CUnixTransport::getName() { return "UNIX"; }

}  // namespace corvel
