#pragma once
// Who is at the other end of a local socket, and whether the token's
// requests (PINs among them) may go there.
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace corvel {

// The user the packaged daemon runs as.
constexpr const char* kServiceUser = "vexa";

struct PeerCredentials {
    pid_t pid;
    uid_t uid;
    gid_t gid;
};

// The credentials the peer of a connected Unix socket had when it connected
// or listened; nothing when the socket does not tell.
std::optional<PeerCredentials> peerCredentials(int fd);

// A user given by name or as a decimal number; nothing when there is no such
// user name (a number is taken as it is).
std::optional<uid_t> userId(const std::string& nameOrNumber);

// The service user's id, when this system has that user.
std::vector<uid_t> serviceUserIds();

// Root and this process's own user are always trusted: both can read the
// process's memory anyway. Beyond them, only the users listed.
bool isTrustedPeer(uid_t uid, const std::vector<uid_t>& trustedUsers);

}  // namespace corvel
