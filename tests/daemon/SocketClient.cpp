#include "SocketClient.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vexa::daemon::test {
namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point end)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    return static_cast<int>(std::max<long long>(left, 0));
}

// 1 data, 0 timeout, -1 closed or failed
int WaitReadable(int fd, Clock::time_point end)
{
    pollfd ready{fd, POLLIN, 0};
    const int polled = poll(&ready, 1, MillisecondsLeft(end));
    return polled < 0 ? -1 : polled;
}

}  // namespace

Bytes MakePacket(const Bytes& payload, uint8_t commandType, std::optional<uint32_t> length)
{
    const uint32_t value = length.value_or(static_cast<uint32_t>(payload.size()));
    Bytes packet(5 + payload.size());
    for (int i = 0; i < 4; ++i) {
        packet[i] = static_cast<uint8_t>(value >> (8 * i));
    }
    packet[4] = commandType;
    std::copy(payload.begin(), payload.end(), packet.begin() + 5);
    return packet;
}

Bytes Reversed(Bytes bytes)
{
    std::reverse(bytes.begin(), bytes.end());
    return bytes;
}

Bytes Pattern(size_t length, uint8_t seed)
{
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7 + seed);
    }
    return bytes;
}

static sockaddr_un UnixAddress(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}

bool MakeSocketFile(const std::string& path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = UnixAddress(path);
    const bool bound = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return bound;
}

bool Listening(const std::string& path) { return SocketClient::ConnectUnix(path).fd() >= 0; }

SocketClient SocketClient::ConnectUnix(const std::string& path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = UnixAddress(path);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return SocketClient(-1);
    }
    return SocketClient(fd);
}

SocketClient::~SocketClient()
{
    if (m_fd >= 0) {
        close(m_fd);
    }
}

bool SocketClient::send(const Bytes& bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

Bytes SocketClient::receive(size_t count, std::chrono::milliseconds timeout)
{
    const auto end = Clock::now() + timeout;
    Bytes bytes;
    uint8_t chunk[8192];
    while (bytes.size() < count && WaitReadable(m_fd, end) > 0) {
        const ssize_t n = recv(m_fd, chunk, std::min(sizeof chunk, count - bytes.size()), 0);
        if (n <= 0) {
            break;
        }
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    return bytes;
}

Bytes SocketClient::receiveReply(std::chrono::milliseconds timeout)
{
    uint8_t chunk[8192];
    if (WaitReadable(m_fd, Clock::now() + timeout) <= 0) {
        return {};
    }
    const ssize_t n = recv(m_fd, chunk, sizeof chunk, 0);
    return n > 0 ? Bytes(chunk, chunk + n) : Bytes{};
}

bool SocketClient::closedByPeer(std::chrono::milliseconds timeout)
{
    const auto end = Clock::now() + timeout;
    uint8_t chunk[8192];
    while (WaitReadable(m_fd, end) > 0) {
        const ssize_t n = recv(m_fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            return true;
        }
    }
    return false;
}

bool SocketClient::quietFor(std::chrono::milliseconds time) { return WaitReadable(m_fd, Clock::now() + time) == 0; }

void SocketClient::shutdownWrite() { shutdown(m_fd, SHUT_WR); }

Bytes SocketClient::exchange(const Bytes& payload, size_t replyLength)
{
    if (!send(MakePacket(payload))) {
        return {};
    }
    return receive(replyLength);
}

}  // namespace vexa::daemon::test
