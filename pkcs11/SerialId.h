#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vexa::pkcs11 {

// A token's serial number as its 6 raw bytes, kept in memory order (the
// first byte at the lowest address); the text form is 12 upper-case hex digits.
using SerialId = uint64_t;

constexpr size_t kSerialTextLength = 12;

std::string serialIdToText(SerialId id);
// Takes the first 12 characters of text; nullopt when there are fewer or one
// is not a hexadecimal digit.
std::optional<SerialId> serialIdFromText(std::string_view text);

}  // namespace vexa::pkcs11
