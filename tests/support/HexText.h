#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace vexa::test {

// Lower-case hex, as in vexa-token-sim's trace lines.
std::string toHex(const std::vector<uint8_t>& bytes);
// Throws std::invalid_argument on odd length or a non-hex digit.
std::vector<uint8_t> fromHex(const std::string& text);

}  // namespace vexa::test
