#pragma once
// Values the token keeps across restarts besides its objects and files.
#include <cstdint>
#include <string>

namespace vexa::sim::engine {

// The four configuration values: three bytes and a 16-bit word, as the
// library's configuration record holds them.
struct TokenConfigValues {
    uint8_t config1 = 0;
    uint8_t config2 = 0;
    uint8_t config3 = 0;
    uint16_t config4 = 0;

    bool operator==(const TokenConfigValues& o) const
    {
        return config1 == o.config1 && config2 == o.config2 && config3 == o.config3 && config4 == o.config4;
    }
};

struct TokenSettings {
    std::string hsmSerial;  // serial of the SoftHSM2 token behind this token
    TokenConfigValues config;
    int64_t clockOffset = 0;  // token time minus host time, in seconds
};

// A missing or unreadable file gives the defaults; keys of the wrong type
// keep their default.
TokenSettings loadSettings(const std::string& path);
bool saveSettings(const std::string& path, const TokenSettings& settings);

}  // namespace vexa::sim::engine
