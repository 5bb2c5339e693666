#include "PeerProcess.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <shared_mutex>

#include "DescriptorReserve.h"
#include "PeerCredentials.h"

// Linux 6.5; glibc 2.36 does not name it yet.
#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif

namespace vexa::daemon {

PeerProcess identifyPeer(int socket)
{
    PeerProcess peer;
    const auto credentials = corvel::peerCredentials(socket);
    if (!credentials || credentials->pid <= 0) {
        return peer;
    }
    peer.pid = credentials->pid;
    std::shared_lock<std::shared_mutex> opening(descriptorOpeners());
    int pidfd = -1;
    socklen_t length = sizeof pidfd;
    if (getsockopt(socket, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &length) == 0 && pidfd >= 0) {
        peer.pidfd = pidfd;
        return peer;
    }
    // glibc 2.36 declares pidfd_open without C linkage.
    peer.pidfd = static_cast<int>(syscall(SYS_pidfd_open, peer.pid, 0));
    return peer;
}

bool processHasEnded(int pidfd)
{
    pollfd state{pidfd, POLLIN, 0};
    return poll(&state, 1, 0) > 0 && (state.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

}  // namespace vexa::daemon
