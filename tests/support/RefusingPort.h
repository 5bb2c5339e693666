#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>

namespace vexa::test {

// A loopback TCP port that is bound but not listening: a connection to it
// is refused at once, and no other program can take the port while this
// object holds it.
class RefusingPort {
public:
    RefusingPort() : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            release();
            throw std::runtime_error("cannot hold a loopback port");
        }
        m_port = ntohs(address.sin_port);
    }
    ~RefusingPort() { release(); }
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;

    uint16_t port() const { return m_port; }
    // Lets the port go before the end of the scope.
    void release()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        m_fd = -1;
    }

private:
    int m_fd;
    uint16_t m_port = 0;
};

}  // namespace vexa::test
