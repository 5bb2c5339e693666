#pragma once
// Whether the entries of a directory (the daemon's sockets) can be replaced
// only by users that are trusted with what goes through them.
//
// The rule, for the directory and every directory above it: its owner is
// root or a trusted user; it is not writable by a group other than root's or
// a trusted group, nor by everyone, unless its sticky bit is set (then only
// an entry's owner may remove or rename it, as in /tmp). A directory that
// another user owns or may write to lets that user move a socket aside and
// listen in its place.
#include <sys/types.h>

#include <string>
#include <vector>

namespace corvel {

struct DirectoryTrust {
    std::vector<uid_t> owners;        // besides root
    std::vector<gid_t> writerGroups;  // besides root's group
};

// Why the rule fails for dir, naming the directory, its owner or mode; empty
// when it holds. Symbolic links in dir are followed; a directory that does
// not exist fails too.
std::string directoryTrustProblem(const std::string& dir, const DirectoryTrust& trust);

// "name (uid N)" or "uid N" for a user without a name.
std::string describeUser(uid_t uid);
// The group's name, or its number.
std::string groupName(gid_t gid);

}  // namespace corvel
