#pragma once
// Who may open a file, in the terms an administrator uses: mode, owner and
// group, and, when this user may not, why not.
#include <sys/stat.h>

#include <optional>
#include <string>

namespace vexa::tool {

struct FileFacts {
    struct stat info {};
    std::string owner;  // user name, or the number when it has none
    std::string group;  // group name, or the number
};

// Nothing when the path does not exist (errno says why).
std::optional<FileFacts> fileFacts(const std::string& path);
// "srw-rw---- vexa:vexa"
std::string describe(const FileFacts& facts);
// Why this user cannot open the file with `mode` (R_OK, W_OK, X_OK), and what
// would let it; empty when it can.
std::string accessProblem(const std::string& path, const FileFacts& facts, int mode);
// The user this process runs as, by name.
std::string userName();
// Whether this process holds the group (primary or supplementary).
bool holdsGroup(gid_t group);

}  // namespace vexa::tool
