#include "FakeDaemon.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace vexa::test {

namespace {
constexpr size_t kHeader = 5;
}

FakeReply reverseReply(const std::vector<uint8_t>& payload)
{
    return FakeReply::send(std::vector<uint8_t>(payload.rbegin(), payload.rend()));
}

std::vector<uint8_t> ReceivedPacket::payload() const
{
    return bytes.size() < kHeader ? std::vector<uint8_t>() : std::vector<uint8_t>(bytes.begin() + kHeader, bytes.end());
}

void PacketAssembler::append(const uint8_t* data, size_t length)
{
    m_pending.insert(m_pending.end(), data, data + length);
}

bool PacketAssembler::next(std::vector<uint8_t>& packet)
{
    if (m_pending.size() < kHeader) {
        return false;
    }
    const size_t length = m_pending[0] | (m_pending[1] << 8) | (m_pending[2] << 16) | (size_t(m_pending[3]) << 24);
    if (m_pending.size() - kHeader < length) {
        return false;
    }
    packet.assign(m_pending.begin(), m_pending.begin() + static_cast<long>(kHeader + length));
    m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<long>(kHeader + length));
    return true;
}

void PacketLog::add(ReceivedPacket packet)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_packets.push_back(std::move(packet));
    }
    m_changed.notify_all();
}

std::vector<ReceivedPacket> PacketLog::packets()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_packets;
}

bool PacketLog::waitFor(size_t count, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_packets.size() >= count; });
}

struct FakeUnixDaemon::Client {
    int fd;
    int number;
    PacketAssembler assembler;
};

FakeUnixDaemon::FakeUnixDaemon(std::string socketPath, FakeHandler handler)
    : m_path(std::move(socketPath)), m_handler(std::move(handler))
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (m_path.size() >= sizeof address.sun_path) {
        throw std::runtime_error("socket path too long");
    }
    std::strcpy(address.sun_path, m_path.c_str());
    m_listen = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listen < 0 || ::bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listen, 5) != 0) {
        throw std::runtime_error("cannot listen on " + m_path);
    }
    start();
}

FakeUnixDaemon::FakeUnixDaemon(std::string socketPath, FakeHandler handler, int listening)
    : m_path(std::move(socketPath)), m_handler(std::move(handler)), m_listen(listening)
{
    start();
}

void FakeUnixDaemon::start()
{
    if (::pipe2(m_wake, O_CLOEXEC) != 0) {
        throw std::runtime_error("cannot make the wake-up pipe");
    }
    m_thread = std::thread([this] { run(); });
}

FakeUnixDaemon::~FakeUnixDaemon()
{
    const char stop = 1;
    (void)::write(m_wake[1], &stop, 1);
    m_thread.join();
    ::close(m_listen);
    ::close(m_wake[0]);
    ::close(m_wake[1]);
    ::unlink(m_path.c_str());
}

void FakeUnixDaemon::run()
{
    std::list<Client> clients;
    for (;;) {
        std::vector<pollfd> fds{{m_wake[0], POLLIN, 0}, {m_listen, POLLIN, 0}};
        for (const Client& client : clients) {
            fds.push_back({client.fd, POLLIN, 0});
        }
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            continue;
        }
        if (fds[0].revents != 0) {
            break;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            acceptPending(clients);
        }
        std::vector<int> finished;
        for (size_t i = 2; i < fds.size(); ++i) {
            if (fds[i].revents != 0) {
                auto client =
                    std::find_if(clients.begin(), clients.end(), [&](const Client& c) { return c.fd == fds[i].fd; });
                if (!serve(*client, clients)) {
                    finished.push_back(client->fd);
                }
            }
        }
        for (const int fd : finished) {
            ::close(fd);
            clients.remove_if([&](const Client& c) { return c.fd == fd; });
        }
    }
    for (const Client& client : clients) {
        ::close(client.fd);
    }
}

// False when the client's connection is to be closed.
bool FakeUnixDaemon::serve(Client& client, std::list<Client>& clients)
{
    uint8_t chunk[8192];
    const ssize_t n = ::recv(client.fd, chunk, sizeof chunk, 0);
    if (n <= 0) {
        return false;
    }
    client.assembler.append(chunk, static_cast<size_t>(n));
    std::vector<uint8_t> packet;
    while (client.assembler.next(packet)) {
        ReceivedPacket received{client.number, packet};
        const std::vector<uint8_t> payload = received.payload();
        m_log.add(std::move(received));
        if (m_holdMs > 0) {
            hold(client, clients);
        }
        const FakeReply reply = m_handler(payload);
        if (reply.action == FakeReply::Action::Close) {
            return false;
        }
        if (reply.action == FakeReply::Action::Send &&
            ::send(client.fd, reply.bytes.data(), reply.bytes.size(), MSG_NOSIGNAL) < 0) {
            return false;
        }
    }
    return true;
}

void FakeUnixDaemon::acceptPending(std::list<Client>& clients)
{
    pollfd pending{m_listen, POLLIN, 0};
    while (::poll(&pending, 1, 0) > 0) {
        const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        clients.push_back({fd, ++m_accepted, {}});
    }
}

// A request of another client that arrives while this one is unanswered
// means two exchanges interleaved.
void FakeUnixDaemon::hold(const Client& current, std::list<Client>& clients)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_holdMs);
    while (std::chrono::steady_clock::now() < until) {
        acceptPending(clients);
        for (const Client& other : clients) {
            uint8_t byte;
            if (other.fd != current.fd && ::recv(other.fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0) {
                ++m_overlaps;
                return;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace vexa::test
