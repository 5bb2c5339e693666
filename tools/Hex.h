#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vexa::tool {

std::string toHex(const uint8_t* bytes, size_t length);
// nullopt for an odd number of digits or a character that is not one.
std::optional<std::vector<uint8_t>> parseHex(const std::string& text);

}  // namespace vexa::tool
