#pragma once
#include <string>

namespace vexa::daemon {

// socketDir + "/vexa." + serial + ".sock"
std::string SocketPath(const std::string& socketDir, const std::string& serial);

// Whether path fits a Unix socket address with its terminating zero (107
// bytes at most); a longer path would be cut and name another file.
bool SocketPathFits(const std::string& path);

// Deletes leftover token sockets in socketDir: entries the listing reports as
// sockets whose name begins with "vexa." and is at least 17 characters long.
void RemoveStaleSockets(const std::string& socketDir);

}  // namespace vexa::daemon
