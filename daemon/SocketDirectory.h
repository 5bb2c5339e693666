#pragma once
#include <string>

namespace vexa::daemon {

// Makes sure that nobody but root and the daemon's own user (and group) can
// replace the sockets in socketDir (the rule of DirectoryTrust.h), creating
// the directory (mode 0755) when it does not exist and the directory above
// it passes. False after an ERROR line that says why; the daemon must not
// serve from it then.
bool prepareSocketDirectory(const std::string& socketDir);

// One daemon per socket directory: an exclusive lock on the file
// "vexa-daemon.lock" in it, held for as long as the object lives (the daemon's
// whole life). A second daemon would delete the first one's live sockets.
class CSocketDirectoryLock {
public:
    CSocketDirectoryLock() = default;
    ~CSocketDirectoryLock();
    CSocketDirectoryLock(const CSocketDirectoryLock&) = delete;
    CSocketDirectoryLock& operator=(const CSocketDirectoryLock&) = delete;

    // False after an ERROR line when another process holds the lock or the
    // lock file cannot be opened.
    bool acquire(const std::string& socketDir);

private:
    int m_fd = -1;
};

constexpr const char* kLockFileName = "vexa-daemon.lock";

}  // namespace vexa::daemon
