#include "SerialId.h"

#include <array>
#include <cstring>

namespace vexa::pkcs11 {
namespace {

constexpr size_t kSerialBytes = kSerialTextLength / 2;

int hexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

}  // namespace

std::string serialIdToText(SerialId id)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::array<uint8_t, sizeof(SerialId)> bytes{};
    std::memcpy(bytes.data(), &id, sizeof id);
    std::string text;
    text.reserve(kSerialTextLength);
    for (size_t i = 0; i < kSerialBytes; ++i) {
        text.push_back(kDigits[bytes[i] >> 4]);
        text.push_back(kDigits[bytes[i] & 0x0F]);
    }
    return text;
}

std::optional<SerialId> serialIdFromText(std::string_view text)
{
    if (text.size() < kSerialTextLength) {
        return std::nullopt;
    }
    std::array<uint8_t, sizeof(SerialId)> bytes{};
    for (size_t i = 0; i < kSerialBytes; ++i) {
        const int high = hexValue(text[2 * i]);
        const int low = hexValue(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes[i] = static_cast<uint8_t>((high << 4) | low);
    }
    SerialId id = 0;
    std::memcpy(&id, bytes.data(), sizeof id);
    return id;
}

}  // namespace vexa::pkcs11
