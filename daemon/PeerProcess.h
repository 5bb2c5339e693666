#pragma once
#include <sys/types.h>

namespace vexa::daemon {

// The process at the other end of a Unix socket connection: the one that
// connected, as the kernel recorded it then.
struct PeerProcess {
    pid_t pid = 0;   // 0 when the kernel could not say (another pid namespace)
    int pidfd = -1;  // owned by the caller; -1 when the process cannot be watched
};

// SO_PEERPIDFD where the kernel has it (no pid-reuse window), else
// SO_PEERCRED and pidfd_open. A process that has already been reaped has no
// pidfd.
PeerProcess identifyPeer(int socket);

// Whether the process of a pidfd has ended (a zombie counts as ended).
bool processHasEnded(int pidfd);

}  // namespace vexa::daemon
