#include "PeerCredentials.h"

#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <vector>

namespace corvel {

std::optional<PeerCredentials> peerCredentials(int fd)
{
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 || length != sizeof credentials) {
        return std::nullopt;
    }
    return PeerCredentials{credentials.pid, credentials.uid, credentials.gid};
}

std::optional<uid_t> userId(const std::string& nameOrNumber)
{
    if (!nameOrNumber.empty() &&
        std::all_of(nameOrNumber.begin(), nameOrNumber.end(), [](unsigned char c) { return std::isdigit(c); })) {
        errno = 0;
        const unsigned long long value = std::strtoull(nameOrNumber.c_str(), nullptr, 10);
        // (uid_t)-1 means "no user" to the system calls that take one.
        if (errno == ERANGE || value >= static_cast<uid_t>(-1)) {
            return std::nullopt;
        }
        return static_cast<uid_t>(value);
    }
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwnam_r(nameOrNumber.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
        return std::nullopt;
    }
    return found->pw_uid;
}

std::vector<uid_t> serviceUserIds()
{
    const std::optional<uid_t> service = userId(kServiceUser);
    return service ? std::vector<uid_t>{*service} : std::vector<uid_t>{};
}

bool isTrustedPeer(uid_t uid, const std::vector<uid_t>& trustedUsers)
{
    return uid == 0 || uid == ::geteuid() ||
           std::find(trustedUsers.begin(), trustedUsers.end(), uid) != trustedUsers.end();
}

}  // namespace corvel
