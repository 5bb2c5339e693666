#include "FileAccess.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace vexa::tool {
namespace {

std::string groupName(gid_t gid)
{
    const group* entry = ::getgrgid(gid);
    return entry != nullptr ? entry->gr_name : std::to_string(gid);
}

std::string ownerName(uid_t uid)
{
    const passwd* entry = ::getpwuid(uid);
    return entry != nullptr ? entry->pw_name : std::to_string(uid);
}

char typeLetter(mode_t mode)
{
    if (S_ISDIR(mode)) {
        return 'd';
    }
    if (S_ISSOCK(mode)) {
        return 's';
    }
    if (S_ISCHR(mode)) {
        return 'c';
    }
    if (S_ISLNK(mode)) {
        return 'l';
    }
    return S_ISREG(mode) ? '-' : '?';
}

std::string octal(mode_t mode)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// The permission bits of `mode` (R_OK, W_OK, X_OK) for owner (shift 6),
// group (3) or others (0).
mode_t bitsFor(int mode, int shift)
{
    mode_t bits = 0;
    bits |= (mode & R_OK) != 0 ? S_IROTH : 0;
    bits |= (mode & W_OK) != 0 ? S_IWOTH : 0;
    bits |= (mode & X_OK) != 0 ? S_IXOTH : 0;
    return static_cast<mode_t>(bits << shift);
}

}  // namespace

std::optional<FileFacts> fileFacts(const std::string& path)
{
    FileFacts facts;
    if (::stat(path.c_str(), &facts.info) != 0) {
        return std::nullopt;
    }
    facts.owner = ownerName(facts.info.st_uid);
    facts.group = groupName(facts.info.st_gid);
    return facts;
}

std::string describe(const FileFacts& facts)
{
    const mode_t mode = facts.info.st_mode;
    std::string text(1, typeLetter(mode));
    const char* letters = "rwxrwxrwx";
    for (int bit = 0; bit < 9; ++bit) {
        text += (mode & (0400 >> bit)) != 0 ? letters[bit] : '-';
    }
    return text + " " + facts.owner + ":" + facts.group;
}

bool holdsGroup(gid_t group)
{
    if (::getegid() == group) {
        return true;
    }
    const int count = ::getgroups(0, nullptr);
    if (count <= 0) {
        return false;
    }
    std::vector<gid_t> groups(static_cast<size_t>(count));
    const int filled = ::getgroups(count, groups.data());
    for (int i = 0; i < filled; ++i) {
        if (groups[static_cast<size_t>(i)] == group) {
            return true;
        }
    }
    return false;
}

std::string userName() { return ownerName(::geteuid()); }

std::string accessProblem(const std::string& path, const FileFacts& facts, int mode)
{
    if (::access(path.c_str(), mode) == 0) {
        return "";
    }
    const std::string reason = std::strerror(errno);
    const mode_t bits = facts.info.st_mode;
    const std::string user = userName();
    if (facts.info.st_uid == ::geteuid()) {
        return reason + ": it is " + user + "'s, but mode " + octal(bits) + " does not let the owner";
    }
    if (holdsGroup(facts.info.st_gid)) {
        return reason + ": " + user + " is in the group " + facts.group + ", but mode " + octal(bits) +
               " does not let the group";
    }
    // Membership of the group root would give far more than this file.
    if ((bits & bitsFor(mode, 3)) == bitsFor(mode, 3) && facts.info.st_gid == 0) {
        return reason + ": only " + facts.owner + " and the group root may, and " + user + " is not in that group";
    }
    if ((bits & bitsFor(mode, 3)) == bitsFor(mode, 3)) {
        return reason + ": only " + facts.owner + " and the group " + facts.group + " may, and " + user +
               " is not in that group (sudo usermod -aG " + facts.group + " " + user + ", then log in again)";
    }
    return reason + ": mode " + octal(bits) + " lets only " + facts.owner;
}

}  // namespace vexa::tool
