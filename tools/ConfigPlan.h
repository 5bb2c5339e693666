#pragma once
// How "config set" turns values into the token's configuration calls. The
// token keeps four values: config1..config3 (bytes) and config4 (16 bits).
//   config1            u32SetTokenByte (id 55)
//   config2 + config3  u32SetTokenBytePair (id 56), both in one call
//   config2 or config3 u32SetTokenValue (id 54) with selector 2 or 3
//   config4            u32SetTokenConfigWord (id 61)
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vexa::tool {

enum class ConfigCall { Byte, BytePair, Value, Word };

struct ConfigStep {
    ConfigCall call;
    uint32_t first;   // the value (Byte, Value, Word) or config2 (BytePair)
    uint32_t second;  // the selector (Value) or config3 (BytePair)

    bool operator==(const ConfigStep& other) const
    {
        return call == other.call && first == other.first && second == other.second;
    }
};

// NAME VALUE pairs as the user gave them; UsageError (naming `command`) for
// an unknown name, a value out of range or a name given twice.
std::vector<ConfigStep> planConfigChange(const std::vector<std::pair<std::string, std::string>>& assignments,
                                         const std::string& command);

}  // namespace vexa::tool
