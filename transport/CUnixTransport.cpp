#include "CUnixTransport.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ClientPacket.h"
#include "Exception.h"

namespace corvel {

CUnixTransport::CUnixTransport(std::string socketPath, ILogTarget* logTarget)
    : m_socketPath(std::move(socketPath)), m_logTarget(logTarget)
{}

CUnixTransport::~CUnixTransport() { close(); }

int32_t CUnixTransport::open()
{
    close();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // A longer path is cut; the daemon refuses to serve such a socket anyway.
    std::strncpy(address.sun_path, m_socketPath.c_str(), sizeof address.sun_path - 1);

    m_socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_socket < 0) {
        throw IOException("connection failed", -1);
    }
    applyReceiveTimeout();
    const int result = ::connect(m_socket, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (result != 0) {
        ::close(m_socket);
        m_socket = -1;
        throw IOException("connection failed", result);
    }
    m_open = true;
    return result;
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
    if (!isOpen()) {
        if (m_logTarget != nullptr) {
            m_logTarget->logText(kLogError, "Attempt to write to closed socket.");
        }
        return 0;
    }
    ClientPacketBuffer packet;
    const size_t packetLength = buildClientPacket(data, length, packet);
    if (packetLength == 0) {
        return 0;
    }
    if (!sendAll(packet.data(), packetLength)) {
        if (m_logTarget != nullptr) {
            m_logTarget->logFormat(kLogError, "Socket write error %d", errno);
        }
        close();
        return 0;
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
    if (!isOpen()) {
        if (m_logTarget != nullptr) {
            m_logTarget->logText(kLogError, "Attempt to read from closed socket.");
        }
        return 0;
    }
    if (capacity == 0 || buffer == nullptr) {
        return 0;
    }
    // A timeout of 0 would make the receive timeout infinite; it means "do not wait".
    if (m_timeout != 0) {
        for (;;) {
            // Peek first so the reply is taken whole as the daemon's single write made it available.
            const ssize_t available = ::recv(m_socket, buffer, capacity, MSG_PEEK);
            if (available < 0 && errno == EINTR) {
                continue;
            }
            if (available <= 0) {
                // 0 is the daemon's end of connection, which no retry can undo;
                // below 0 is the receive timeout or an error.
                break;
            }
            const ssize_t n = ::read(m_socket, buffer, static_cast<size_t>(available));
            if (n > 0) {
                return static_cast<size_t>(n);
            }
            break;
        }
    }
    close();
    return 0;
}

const char* CUnixTransport::getName() { return "UNIX"; }

}  // namespace corvel
