// Where vexaconfig.json is looked for, and how what it says goes into the
// library's context.
#include "Configuration.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <vector>

#include "CContext.h"

namespace vexa::pkcs11 {
namespace {

using namespace corvel;

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

TransportKind transportKind(TransportChoice choice)
{
    switch (choice) {
    case TransportChoice::Unix:
        return unixTransportKind();
    case TransportChoice::Tls:
        return tlsTransportKind();
    case TransportChoice::Hid:
        break;
    }
    return hidTransportKind();
}

void applyLogging(CContext& context, const LibraryConfiguration& configuration)
{
    if (!configuration.hasLogging) {
        return;
    }
    context.setLogLevel(configuration.logLevel);
    if (configuration.logFile) {
        context.openLogFile(*configuration.logFile);
    }
    context.setLogConsole(configuration.logConsole);
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

void logParseFailure(CContext& context, const std::string& error)
{
    context.logText(kLogWarn, "Failed to parse config");
    context.logText(kLogDebug, error);
}

void applyConfiguration(CContext& context, const ConfigReading& reading, const std::string& path)
{
    const LibraryConfiguration& configuration = reading.configuration;
    applyLogging(context, configuration);
    for (const ConfigDiagnostic& d : reading.diagnostics) {
        context.logFormat(kLogWarn, "%s: %s; %s", d.key.empty() ? path.c_str() : d.key.c_str(), d.problem.c_str(),
                          d.effect.c_str());
    }
    context.settings() = configuration.settings;
    if (configuration.unixRequested) {
        context.logText(kLogDebug, "Setting UNIX transport.");
    }
    if (configuration.transport == TransportChoice::Tls) {
        context.logText(kLogInfo, "Connecting to IP transport.");
    }
    context.setTransportKind(transportKind(configuration.transport));
    if (!reading.error.empty()) {
        logParseFailure(context, reading.error);
    }
    if (configuration.lockFile) {
        try {
            applyLockFile(context, *configuration.lockFile);
        } catch (const std::exception& error) {
            logParseFailure(context, error.what());
        }
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

void loadConfiguration(CContext& context, const std::string& configDir)
{
    const std::string path = configDir + kConfigFileName;
    std::ifstream file(path);
    if (!file.is_open()) {
        context.logText(kLogInfo, "Config file not found.");
        return;
    }
    applyConfiguration(context, readConfiguration(file), path);
}

}  // namespace vexa::pkcs11
