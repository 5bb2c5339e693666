#include "SocketDirectory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "DaemonLog.h"
#include "DirectoryTrust.h"

namespace vexa::daemon {
namespace {

// Clients of the daemon's group must reach the sockets; the sockets' own mode
// (0660) decides who may connect.
constexpr mode_t kDirectoryMode = 0755;
constexpr mode_t kLockFileMode = 0644;

corvel::DirectoryTrust OwnTrust() { return {{geteuid()}, {getegid()}}; }

std::string Parent(const std::string& dir)
{
    const size_t end = dir.find_last_not_of('/');
    const size_t slash = end == std::string::npos ? std::string::npos : dir.rfind('/', end);
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : dir.substr(0, slash);
}

bool Refuse(const std::string& dir, const std::string& problem)
{
    LogMessage(corvel::kLogError, "Refusing to serve from socket directory %s: %s.", dir.c_str(), problem.c_str());
    return false;
}

}  // namespace

bool prepareSocketDirectory(const std::string& socketDir)
{
    struct stat info {};
    if (stat(socketDir.c_str(), &info) != 0 && errno == ENOENT) {
        const std::string parentProblem = corvel::directoryTrustProblem(Parent(socketDir), OwnTrust());
        if (!parentProblem.empty()) {
            return Refuse(socketDir, "it does not exist, and it cannot be created safely: " + parentProblem);
        }
        // A directory that appeared meanwhile is judged below like any other.
        if (mkdir(socketDir.c_str(), kDirectoryMode) == 0) {
            (void)chmod(socketDir.c_str(), kDirectoryMode);  // whatever the umask took away
            LogMessage(corvel::kLogInfo, "Created socket directory %s.", socketDir.c_str());
        } else if (errno != EEXIST) {
            return Refuse(socketDir, std::string("it cannot be created: ") + std::strerror(errno));
        }
    }
    const std::string problem = corvel::directoryTrustProblem(socketDir, OwnTrust());
    return problem.empty() || Refuse(socketDir, problem);
}

CSocketDirectoryLock::~CSocketDirectoryLock()
{
    if (m_fd >= 0) {
        close(m_fd);
    }
}

bool CSocketDirectoryLock::acquire(const std::string& socketDir)
{
    const std::string path = socketDir + "/" + kLockFileName;
    // Read-only suffices for flock; no link is followed to a file elsewhere.
    const int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kLockFileMode);
    if (fd < 0) {
        LogMessage(corvel::kLogError, "Cannot open the lock file %s: %s.", path.c_str(), std::strerror(errno));
        return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(fd);
        if (error == EWOULDBLOCK) {
            LogMessage(corvel::kLogError, "Another vexa-daemon serves socket directory %s (it holds %s); exiting.",
                       socketDir.c_str(), path.c_str());
        } else {
            LogMessage(corvel::kLogError, "Cannot lock %s: %s.", path.c_str(), std::strerror(error));
        }
        return false;
    }
    if (m_fd >= 0) {
        close(m_fd);
    }
    m_fd = fd;
    return true;
}

}  // namespace vexa::daemon
