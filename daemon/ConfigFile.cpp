#include "ConfigFile.h"

#include <unistd.h>

#include <fstream>

#include "DaemonLog.h"

namespace vexa::daemon {

std::string GetConfigDir()
{
    if (std::ifstream(kConfigFileName).is_open()) {
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd) != nullptr) {
            return std::string(cwd) + "/";
        }
    }
    return "/etc/vexa/";
}

// A stream that fails to read (a directory, an I/O error) throws
// std::ios_base::failure out of the parser.
bool parseConfig(std::istream& text, nlohmann::json& config)
{
    try {
        text >> config;
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

bool LoadConfig(const std::string& configDir, nlohmann::json& config)
{
    const std::string path = configDir + kConfigFileName;
    std::ifstream file(path);
    if (!file.is_open()) {
        // Only a file that is not there is no news; one that is there but
        // cannot be opened is a mistake the administrator wants to hear of.
        if (access(path.c_str(), F_OK) == 0) {
            LogMessage(corvel::kLogError, "Failed to load config file.");
        }
        return false;
    }
    if (!parseConfig(file, config)) {
        LogMessage(corvel::kLogError, "Failed to load config file.");
        return false;
    }
    return true;
}

}  // namespace vexa::daemon
