#include "SocketFiles.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "DaemonLog.h"
#include "TokenNames.h"

namespace vexa::daemon {
namespace {

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

}  // namespace

std::string tokenSocketPath(const std::string& socketDir, const std::string& serial)
{
    return socketDir + "/" + corvel::tokenSocketName(serial);
}

bool socketPathFits(const std::string& path)
{
    return path.size() < sizeof(sockaddr_un::sun_path) && path.find('\0') == std::string::npos;
}

PathContent contentOf(const std::string& path)
{
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) {
        return errno == ENOENT ? PathContent::Nothing : PathContent::Other;
    }
    return S_ISSOCK(info.st_mode) ? PathContent::Socket : PathContent::Other;
}

void removeSocketFile(const std::string& path)
{
    if (contentOf(path) == PathContent::Socket) {
        unlink(path.c_str());
    }
}

void RemoveStaleSockets(const std::string& socketDir)
{
    std::unique_ptr<DIR, DirCloser> dir(opendir(socketDir.c_str()));
    if (dir == nullptr) {
        LogMessage(corvel::kLogError, "Unable to open socket dir: %s", socketDir.c_str());
        return;
    }
    while (const dirent* entry = readdir(dir.get())) {
        if (!corvel::isTokenSocketName(entry->d_name)) {
            continue;
        }
        const std::string path = socketDir + "/" + entry->d_name;
        const PathContent content = contentOf(path);
        if (content == PathContent::Other) {
            LogMessage(corvel::kLogWarn, "%s is not a socket; left alone.", path.c_str());
            continue;
        }
        // A device thread that is closing may have removed it already.
        if (content == PathContent::Socket && unlink(path.c_str()) != 0 && errno != ENOENT) {
            LogMessage(corvel::kLogError, "Failed to remove socket file: %s", path.c_str());
        }
    }
}

}  // namespace vexa::daemon
