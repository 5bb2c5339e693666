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

bool ParseConfig(std::istream& text, nlohmann::json& config)
{
    try {
        text >> config;
    } catch (const nlohmann::json::exception&) {
        return false;
    }
    return true;
}

bool LoadConfig(const std::string& configDir, nlohmann::json& config)
{
    std::ifstream file(configDir + kConfigFileName);
    if (!file.is_open()) {
        return false;
    }
    if (!ParseConfig(file, config)) {
        LogMessage(corvel::kLogError, "Failed to load config file.");
        return false;
    }
    return true;
}

}  // namespace vexa::daemon
