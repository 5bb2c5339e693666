#include "OtherUser.h"

#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace vexa::test {
namespace {

constexpr uid_t kFirstCandidate = 61000;
constexpr uid_t kLastCandidate = 61999;

// One byte that carries one descriptor (SCM_RIGHTS).
struct DescriptorMessage {
    char byte = 0;
    iovec data{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};

    DescriptorMessage()
    {
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
    }
    DescriptorMessage(const DescriptorMessage&) = delete;
    DescriptorMessage& operator=(const DescriptorMessage&) = delete;
};

// In the forked child: only async-signal-safe calls.
[[noreturn]] void listenAndSend(const sockaddr_un& address, uid_t uid, int channel)
{
    if (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0) {
        ::_exit(2);
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 5) != 0) {
        ::_exit(3);
    }
    DescriptorMessage carrier;
    msghdr& message = carrier.message;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    ::_exit(::sendmsg(channel, &message, 0) == 1 ? 0 : 4);
}

int receiveDescriptor(int channel)
{
    DescriptorMessage carrier;
    msghdr& message = carrier.message;
    if (::recvmsg(channel, &message, MSG_CMSG_CLOEXEC) != 1) {
        return -1;
    }
    const cmsghdr* header = CMSG_FIRSTHDR(&message);
    if (header == nullptr || header->cmsg_type != SCM_RIGHTS) {
        return -1;
    }
    int fd = -1;
    std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
    return fd;
}

}  // namespace

std::optional<uid_t> otherUser()
{
    if (::geteuid() != 0) {
        return std::nullopt;
    }
    for (uid_t uid = kFirstCandidate; uid <= kLastCandidate; ++uid) {
        if (::getpwuid(uid) == nullptr) {
            return uid;
        }
    }
    return std::nullopt;
}

int listenAsUser(const std::string& path, uid_t uid)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        throw std::runtime_error("socket path too long: " + path);
    }
    std::strcpy(address.sun_path, path.c_str());
    int channel[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, channel) != 0) {
        throw std::runtime_error("socketpair failed");
    }
    const pid_t child = ::fork();
    if (child == 0) {
        listenAndSend(address, uid, channel[1]);
    }
    ::close(channel[1]);
    const int fd = child > 0 ? receiveDescriptor(channel[0]) : -1;
    ::close(channel[0]);
    int status = 0;
    if (child > 0) {
        ::waitpid(child, &status, 0);
    }
    if (fd < 0) {
        throw std::runtime_error("cannot listen on " + path + " as uid " + std::to_string(uid) + " (child status " +
                                 std::to_string(status) + ")");
    }
    return fd;
}

}  // namespace vexa::test
