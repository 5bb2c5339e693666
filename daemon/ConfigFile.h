#pragma once
#include <istream>
#include <nlohmann/json.hpp>
#include <string>

namespace vexa::daemon {

constexpr const char* kConfigFileName = "vexa-daemon.json";

// The working directory with "/" appended when it holds a readable
// "vexa-daemon.json", otherwise "/etc/vexa/".
std::string GetConfigDir();

// Parses the configuration from text into config: false when it is not
// valid JSON or cannot be read. Only the first JSON value is read. Touches nothing else, so it
// can be driven from memory.
bool parseConfig(std::istream& text, nlohmann::json& config);

// Reads configDir + "vexa-daemon.json" into config. False, silently, when
// there is no such file; false with the ERROR line "Failed to load config
// file." when it cannot be opened or read (a directory, no permission) or is
// not valid JSON. Only the first JSON value of the file is read.
bool LoadConfig(const std::string& configDir, nlohmann::json& config);

}  // namespace vexa::daemon
