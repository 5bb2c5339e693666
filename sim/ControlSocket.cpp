#include "ControlSocket.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <stdexcept>
#include <vector>

#include "LineBuffer.h"

namespace vexa::sim {
namespace {

constexpr int kBacklog = 8;

void sendAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        done += size_t(n);
    }
}

}  // namespace

CControlSocket::CControlSocket(const std::string& path, Handler handler) : m_path(path), m_handler(std::move(handler))
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        throw std::runtime_error("control socket path too long: " + path);
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    m_listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    m_stopFd = ::eventfd(0, EFD_CLOEXEC);
    if (m_listenFd < 0 || m_stopFd < 0 ||
        ::bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 ||
        ::listen(m_listenFd, kBacklog) < 0) {
        const std::string reason = std::strerror(errno);
        if (m_listenFd >= 0) {
            ::close(m_listenFd);
        }
        if (m_stopFd >= 0) {
            ::close(m_stopFd);
        }
        throw std::runtime_error("cannot listen on " + path + ": " + reason);
    }
    m_thread = std::thread([this] { serve(); });
}

CControlSocket::~CControlSocket()
{
    const uint64_t one = 1;
    if (::write(m_stopFd, &one, sizeof one) < 0) {
        // Cannot happen for a fresh eventfd; the join below would hang.
        std::terminate();
    }
    m_thread.join();
    ::close(m_listenFd);
    ::close(m_stopFd);
    ::unlink(m_path.c_str());
}

void CControlSocket::serve()
{
    std::map<int, CLineBuffer> connections;
    for (;;) {
        std::vector<pollfd> fds = {{m_stopFd, POLLIN, 0}, {m_listenFd, POLLIN, 0}};
        for (const auto& [fd, buffer] : connections) {
            fds.push_back({fd, POLLIN, 0});
        }
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) {
            break;
        }
        if (fds[0].revents) {
            break;
        }
        if (fds[1].revents & POLLIN) {
            const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                connections.emplace(fd, CLineBuffer());
            }
        }
        for (size_t i = 2; i < fds.size(); ++i) {
            if (!fds[i].revents) {
                continue;
            }
            const int fd = fds[i].fd;
            char chunk[512];
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            std::vector<std::string> lines = n > 0 ? connections[fd].feed(chunk, size_t(n)) : connections[fd].finish();
            for (const std::string& line : lines) {
                sendAll(fd, m_handler(line) + "\n");
            }
            if (n <= 0) {
                ::close(fd);
                connections.erase(fd);
            }
        }
    }
    for (const auto& [fd, buffer] : connections) {
        ::close(fd);
    }
}

}  // namespace vexa::sim
