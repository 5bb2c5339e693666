#pragma once
#include <string>

namespace vexa::daemon {

// socketDir + "/vexa." + serial in upper case + ".sock": the name the library
// builds from the token's serial.
std::string tokenSocketPath(const std::string& socketDir, const std::string& serial);

// Whether path fits a Unix socket address with its terminating zero (107
// bytes at most); a longer path would be cut and name another file.
bool socketPathFits(const std::string& path);

// What lies at a token's socket path.
enum class PathContent {
    Nothing,
    Socket,  // a leftover, or one put there in the daemon's place: replaced
    Other,   // a file the daemon did not make: left alone
};
// An error other than "no such file" counts as Other.
PathContent contentOf(const std::string& path);

// Deletes the socket at path; any other kind of file stays.
void removeSocketFile(const std::string& path);

// Deletes leftover token sockets in socketDir: sockets named exactly as a
// token's ("vexa." + 12 upper-case hexadecimal digits + ".sock"). Anything
// else stays; a file of such a name that is not a socket with a WARN line.
void RemoveStaleSockets(const std::string& socketDir);

}  // namespace vexa::daemon
