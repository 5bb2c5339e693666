#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace vexa::test {

// A loopback TCP listener that never accepts. With its backlog full, a new
// connection is not even completed (the system drops its SYN and the
// client's connect retries for minutes); otherwise it completes and then
// hears nothing.
class StalledListener {
public:
    explicit StalledListener(bool fillBacklog) : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(m_fd, 1) != 0 || ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            release();
            throw std::runtime_error("cannot listen on a loopback port");
        }
        m_port = ntohs(address.sin_port);
        if (fillBacklog) {
            fill(address);
        }
    }
    ~StalledListener() { release(); }
    StalledListener(const StalledListener&) = delete;
    StalledListener& operator=(const StalledListener&) = delete;

    uint16_t port() const { return m_port; }

private:
    // Connects until a connection is left hanging: the backlog is full. A
    // connection completes within microseconds on loopback, so 200 ms
    // without completion is a hanging one.
    void fill(const sockaddr_in& address)
    {
        for (int attempt = 0; attempt < 64; ++attempt) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            m_clients.push_back(fd);
            if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
                continue;
            }
            if (errno != EINPROGRESS) {
                break;
            }
            pollfd state{fd, POLLOUT, 0};
            if (::poll(&state, 1, 200) == 0) {
                return;
            }
        }
        release();
        throw std::runtime_error("cannot fill the backlog of a loopback listener");
    }

    void release()
    {
        for (const int fd : m_clients) {
            ::close(fd);
        }
        m_clients.clear();
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        m_fd = -1;
    }

    int m_fd;
    uint16_t m_port = 0;
    std::vector<int> m_clients;  // the connections that fill the backlog
};

}  // namespace vexa::test
