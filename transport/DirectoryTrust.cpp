#include "DirectoryTrust.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace corvel {
namespace {

template <typename T>
bool contains(const std::vector<T>& values, T value)
{
    return std::find(values.begin(), values.end(), value) != values.end();
}

std::string octal(mode_t mode)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// The rule for one directory; empty when it holds.
std::string problemOf(const std::string& path, const struct stat& info, const DirectoryTrust& trust)
{
    if (!S_ISDIR(info.st_mode)) {
        return path + " is not a directory";
    }
    if (info.st_uid != 0 && !contains(trust.owners, info.st_uid)) {
        return path + " belongs to " + describeUser(info.st_uid) + ", who could replace the sockets in it";
    }
    if ((info.st_mode & S_ISVTX) != 0) {
        return "";
    }
    if ((info.st_mode & S_IWOTH) != 0) {
        return path + " is writable by every user (mode " + octal(info.st_mode) +
               ", no sticky bit): any of them could replace the sockets in it";
    }
    if ((info.st_mode & S_IWGRP) != 0 && info.st_gid != 0 && !contains(trust.writerGroups, info.st_gid)) {
        return path + " is writable by the group " + groupName(info.st_gid) + " (mode " + octal(info.st_mode) +
               "): its members could replace the sockets in it";
    }
    return "";
}

}  // namespace

std::string describeUser(uid_t uid)
{
    const passwd* entry = ::getpwuid(uid);
    const std::string number = "uid " + std::to_string(uid);
    return entry != nullptr ? std::string(entry->pw_name) + " (" + number + ")" : number;
}

std::string groupName(gid_t gid)
{
    const group* entry = ::getgrgid(gid);
    return entry != nullptr ? entry->gr_name : std::to_string(gid);
}

std::string directoryTrustProblem(const std::string& dir, const DirectoryTrust& trust)
{
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(dir.c_str(), nullptr), &std::free);
    if (resolved == nullptr) {
        return dir + ": " + std::strerror(errno);
    }
    std::string path = resolved.get();
    for (;;) {
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0) {
            return path + ": " + std::strerror(errno);
        }
        std::string problem = problemOf(path, info, trust);
        if (!problem.empty()) {
            return problem;
        }
        if (path == "/") {
            return "";
        }
        const size_t slash = path.rfind('/');
        path = slash == 0 ? "/" : path.substr(0, slash);
    }
}

}  // namespace corvel
