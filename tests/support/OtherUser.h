#pragma once
// Another local user, for tests of what the system trusts: a user id that
// no account has (so nothing is left on the system), and sockets that such a
// user listens on. Both need root; tests skip without it.
#include <sys/types.h>

#include <optional>
#include <string>

namespace vexa::test {

// A user id without an account, or nothing when this process is not root
// (only root can act as another user).
std::optional<uid_t> otherUser();

// The reason a test that needs otherUser() is skipped.
inline const char* const kNeedsRoot = "acting as another user needs root";

// A Unix socket bound to path and listening, made by a process that runs as
// uid: what the socket's peers see as its credentials. The directory of path
// must let uid create it. Returns the listening descriptor, now the
// caller's; throws std::runtime_error on failure.
int listenAsUser(const std::string& path, uid_t uid);

}  // namespace vexa::test
