#include "SocketFiles.h"

#include <dirent.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "DaemonLog.h"

namespace vexa::daemon {
namespace {

// "vexa." and a serial of at least twelve characters.
constexpr size_t kShortestSocketName = 17;

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

bool IsTokenSocket(const dirent& entry)
{
    return entry.d_type == DT_SOCK && std::strlen(entry.d_name) >= kShortestSocketName &&
           std::strncmp(entry.d_name, "vexa.", 5) == 0;
}

}  // namespace

std::string SocketPath(const std::string& socketDir, const std::string& serial)
{
    return socketDir + "/vexa." + serial + ".sock";
}

bool SocketPathFits(const std::string& path)
{
    return path.size() < sizeof(sockaddr_un::sun_path) && path.find('\0') == std::string::npos;
}

void RemoveStaleSockets(const std::string& socketDir)
{
    std::unique_ptr<DIR, DirCloser> dir(opendir(socketDir.c_str()));
    if (dir == nullptr) {
        LogMessage(corvel::kLogError, "Unable to open socket dir: %s", socketDir.c_str());
        return;
    }
    while (const dirent* entry = readdir(dir.get())) {
        if (!IsTokenSocket(*entry)) {
            continue;
        }
        const std::string path = socketDir + "/" + entry->d_name;
        // A device thread that is closing may have removed it already.
        if (unlink(path.c_str()) != 0 && errno != ENOENT) {
            LogMessage(corvel::kLogError, "Failed to remove socket file: %s", path.c_str());
        }
    }
}

}  // namespace vexa::daemon
