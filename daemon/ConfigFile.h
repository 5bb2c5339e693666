#pragma once
#include <nlohmann/json.hpp>
#include <string>

namespace vexa::daemon {

constexpr const char* kConfigFileName = "vexa-daemon.json";

// The working directory with "/" appended when it holds a readable
// "vexa-daemon.json", otherwise "/etc/vexa/".
std::string GetConfigDir();

// Reads configDir + "vexa-daemon.json" into config. False, silently, when the
// file cannot be opened; false with an ERROR line when it is not valid JSON.
// Only the first JSON value of the file is read.
bool LoadConfig(const std::string& configDir, nlohmann::json& config);

}  // namespace vexa::daemon
