#pragma once
// BIP32 derivation paths as users write them: "m/44'/0'/0'/0/7"; a step
// marked with ' (or h) is hardened. "m" alone is the master key.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vexa::tool {

constexpr uint32_t kHardenedStep = 0x80000000u;

// nullopt when the text is not such a path.
std::optional<std::vector<uint32_t>> parseDerivationPath(const std::string& text);

}  // namespace vexa::tool
