#pragma once
// The client's side of the daemon's packet protocol, over any connected
// stream socket.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vexa::daemon::test {

using Bytes = std::vector<uint8_t>;

// Header (length little-endian, command type) and payload. length replaces the
// payload's own length in the header when given.
Bytes MakePacket(const Bytes& payload, uint8_t commandType = 0, std::optional<uint32_t> length = std::nullopt);
Bytes Reversed(Bytes bytes);
Bytes Pattern(size_t length, uint8_t seed = 0);

// Leaves a Unix socket file at path, as a daemon that died would. False on failure.
bool MakeSocketFile(const std::string& path);

// Whether a client can connect to the Unix socket at path now. Wait for this,
// not for the file: it appears at bind, a moment before the daemon listens.
bool Listening(const std::string& path);

// A connected socket, closed on destruction.
class SocketClient {
public:
    explicit SocketClient(int fd) : m_fd(fd) {}
    // Connects to a Unix socket; fd() is -1 when that fails.
    static SocketClient ConnectUnix(const std::string& path);
    ~SocketClient();
    SocketClient(SocketClient&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    SocketClient& operator=(SocketClient&&) = delete;

    int fd() const { return m_fd; }
    bool send(const Bytes& bytes);
    // Reads until count bytes have arrived, the peer closes or the timeout passes.
    Bytes receive(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // One reply as the daemon writes it (a single write): what the first read
    // after it arrives gives; empty when nothing came in time.
    Bytes receiveReply(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // True when the peer closes the connection within the timeout (data that
    // arrives first is discarded).
    bool closedByPeer(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // True when nothing arrives and the connection stays open for the whole time.
    bool quietFor(std::chrono::milliseconds time);
    void shutdownWrite();

    // One request and its reply of the given length.
    Bytes exchange(const Bytes& payload, size_t replyLength);

private:
    int m_fd;
};

}  // namespace vexa::daemon::test
