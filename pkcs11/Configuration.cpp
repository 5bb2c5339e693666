// Where vexaconfig.json is looked for.
#include "Configuration.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <vector>

namespace vexa::pkcs11 {
namespace {

constexpr const char* kSystemConfigDir = "/usr/local/etc/vexa/";

bool canOpen(const std::string& path)
{
    std::ifstream file(path);
    return file.is_open();
}

bool isDirectory(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// With a trailing "/", which "/" already has.
std::string workingDirectory()
{
    std::vector<char> buffer(4096);
    const std::string dir = ::getcwd(buffer.data(), buffer.size()) != nullptr ? buffer.data() : ".";
    return dir.back() == '/' ? dir : dir + "/";
}

}  // namespace

std::string userHomeDir()
{
    if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir != nullptr) {
        return entry->pw_dir;
    }
    const char* home = std::getenv("HOME");
    return home != nullptr ? home : "";
}

std::vector<std::string> configSearchPath(const std::string& homeDir)
{
    return {workingDirectory(), homeDir + "/.vexa/", kSystemConfigDir};
}

std::string findConfigDir(const std::string& fileName, const std::string& homeDir)
{
    if (canOpen(fileName)) {
        return workingDirectory();
    }
    const std::string vexaDir = homeDir + "/.vexa/";
    if (isDirectory(vexaDir) && canOpen(vexaDir + fileName)) {
        return vexaDir;
    }
    return kSystemConfigDir;
}

std::string findConfigDir(const std::string& fileName) { return findConfigDir(fileName, userHomeDir()); }

}  // namespace vexa::pkcs11
