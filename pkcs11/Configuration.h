#pragma once
#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

#include "LibrarySettings.h"
#include "LogLevel.h"

namespace vexa::pkcs11 {

constexpr const char* kConfigFileName = "vexaconfig.json";

// How the library reaches its tokens.
enum class TransportChoice { Hid, Unix, Tls };

// Everything vexaconfig.json decides, read but not yet applied.
struct LibraryConfiguration {
    LibrarySettings settings;
    TransportChoice transport = TransportChoice::Hid;
    bool unixRequested = false;  // "unix" was true, even where TLS wins
    // The "logging" keys; applied only when "logging" is an object.
    bool hasLogging = false;
    int32_t logLevel = corvel::kLogError;  // 1050 when "enabled" is false
    std::optional<std::string> logFile;
    bool logConsole = false;
    std::optional<std::string> lockFile;
};

// A key that the library ignores, or that makes it behave otherwise than
// the file seems to say. The library logs these; vexa-tool doctor shows them.
struct ConfigDiagnostic {
    std::string key;      // as in "transport.port"; empty for the file as a whole
    std::string problem;  // what is wrong with it
    std::string effect;   // what the library does instead
};

struct ConfigReading {
    LibraryConfiguration configuration;
    std::vector<ConfigDiagnostic> diagnostics;
    // Why reading stopped early (a file that is not JSON, an address without
    // a CA bundle); what was read before stays. Empty when it did not.
    std::string error;
};

// Reads a vexaconfig.json document; never throws. Checks the paths it names
// (log file, lock file) without creating or changing anything.
ConfigReading readConfiguration(std::istream& in);

// The directories searched for fileName, in order: the working directory,
// homeDir + "/.vexa/", "/usr/local/etc/vexa/" (each with a trailing "/").
std::vector<std::string> configSearchPath(const std::string& homeDir);
// The directory (with a trailing "/") to read fileName from: the first of
// configSearchPath that holds it, else "/usr/local/etc/vexa/".
std::string findConfigDir(const std::string& fileName, const std::string& homeDir);
// As above with the user's home directory.
std::string findConfigDir(const std::string& fileName);
// The home directory of the real user from the password database, else $HOME.
std::string userHomeDir();

}  // namespace vexa::pkcs11
