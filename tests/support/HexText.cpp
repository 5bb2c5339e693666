#include "HexText.h"

#include <stdexcept>

namespace vexa::test {
namespace {

int digit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    throw std::invalid_argument(std::string("not a hex digit: ") + c);
}

}  // namespace

std::string toHex(const std::vector<uint8_t>& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 0x0F];
    }
    return text;
}

std::vector<uint8_t> fromHex(const std::string& text)
{
    if (text.size() % 2) {
        throw std::invalid_argument("odd number of hex digits");
    }
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < text.size(); i += 2) {
        bytes.push_back(uint8_t(digit(text[i]) << 4 | digit(text[i + 1])));
    }
    return bytes;
}

}  // namespace vexa::test
