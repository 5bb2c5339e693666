#include "Configuration.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <vector>

#include "CContext.h"

namespace vexa::pkcs11 {
namespace {

using nlohmann::json;
using namespace corvel;

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

std::string workingDirectory()
{
    std::vector<char> buffer(4096);
    return ::getcwd(buffer.data(), buffer.size()) != nullptr ? std::string(buffer.data()) : std::string(".");
}

// Numbers may carry a fraction, which is dropped. A value outside the range of
// T is ignored like a value of the wrong type.
template <typename T>
bool readInteger(const json& object, const char* key, T& out)
{
    const auto found = object.find(key);
    if (found == object.end() || !found->is_number()) {
        return false;
    }
    long double value;
    if (found->is_number_unsigned()) {
        value = static_cast<long double>(found->get<uint64_t>());
    } else if (found->is_number_integer()) {
        value = static_cast<long double>(found->get<int64_t>());
    } else {
        value = std::trunc(static_cast<long double>(found->get<double>()));
    }
    if (!std::isfinite(value) || value < static_cast<long double>(std::numeric_limits<T>::min()) ||
        value > static_cast<long double>(std::numeric_limits<T>::max())) {
        return false;
    }
    out = static_cast<T>(value);
    return true;
}

bool readBool(const json& object, const char* key, bool& out)
{
    const auto found = object.find(key);
    if (found == object.end() || !found->is_boolean()) {
        return false;
    }
    out = found->get<bool>();
    return true;
}

bool readString(const json& object, const char* key, std::string& out)
{
    const auto found = object.find(key);
    if (found == object.end() || !found->is_string()) {
        return false;
    }
    out = found->get<std::string>();
    return true;
}

void applyLogging(CContext& context, const json& logging)
{
    bool enabled = true;
    if (readBool(logging, "enabled", enabled) && !enabled) {
        context.setLogLevel(kLogDisabled);
        return;
    }
    int32_t level = 0;
    if (readInteger(logging, "loglevel", level)) {
        context.setLogLevel(level);
    }
    std::string path;
    if (readString(logging, "logfile", path)) {
        context.openLogFile(path);
    }
    bool console = false;
    readBool(logging, "logconsole", console);
    context.setLogConsole(console);
}

void applyTransport(CContext& context, const json& transport)
{
    LibrarySettings& settings = context.settings();
    readInteger(transport, "vid", settings.vid);
    readInteger(transport, "pid", settings.pid);
    readInteger(transport, "usagePage", settings.usagePage);
    bool useUnix = false;
    if (readBool(transport, "unix", useUnix) && useUnix) {
        context.logText(kLogDebug, "Setting UNIX transport.");
        context.setTransportKind(unixTransportKind());
        readString(transport, "sockdir", settings.sockdir);
    }
    std::string address;
    int32_t port = 0;
    if (readString(transport, "address", address) && readInteger(transport, "port", port)) {
        settings.address = address;
        settings.port = port;
        // Required with an address: throws when missing or not a string.
        settings.cacertbundle = transport.at("cacertbundle").get<std::string>();
        context.logText(kLogInfo, "Connecting to IP transport.");
        context.setTransportKind(tlsTransportKind());
    }
}

void applyLockFile(CContext& context, const std::string& path)
{
    context.logFormat(kLogDebug, "Process lockfile: %s", path.c_str());
    if (!canOpen(path)) {
        context.logFormat(kLogDebug, "Creating lockfile: %s", path.c_str());
        std::ofstream create(path, std::ios::out | std::ios::trunc);
    }
    context.exchangeLock().openLockFile(path);
}

void applyConfiguration(CContext& context, const json& config)
{
    const auto logging = config.find("logging");
    if (logging != config.end() && logging->is_object()) {
        applyLogging(context, *logging);
    }
    const auto transport = config.find("transport");
    if (transport != config.end() && transport->is_object()) {
        applyTransport(context, *transport);
    }
    readInteger(config, "timeout", context.settings().timeout);
    readInteger(config, "keytimeout", context.settings().keytimeout);
    std::string lockFile;
    if (readString(config, "lockfile", lockFile)) {
        applyLockFile(context, lockFile);
    }
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

std::string findConfigDir(const std::string& fileName, const std::string& homeDir)
{
    if (canOpen(fileName)) {
        return workingDirectory() + "/";
    }
    const std::string vexaDir = homeDir + "/.vexa/";
    if (isDirectory(vexaDir) && canOpen(vexaDir + fileName)) {
        return vexaDir;
    }
    return "/usr/local/etc/vexa/";
}

std::string findConfigDir(const std::string& fileName) { return findConfigDir(fileName, userHomeDir()); }

void loadConfiguration(CContext& context, const std::string& configDir)
{
    std::ifstream file(configDir + kConfigFileName);
    if (!file.is_open()) {
        context.logText(kLogInfo, "Config file not found.");
        return;
    }
    try {
        // A document that is not an object has no keys to apply.
        const json config = json::parse(file);
        if (config.is_object()) {
            applyConfiguration(context, config);
        }
    } catch (const std::exception& error) {
        context.logText(kLogWarn, "Failed to parse config");
        context.logText(kLogDebug, error.what());
    }
}

}  // namespace vexa::pkcs11
