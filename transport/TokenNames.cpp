#include "TokenNames.h"

#include <algorithm>
#include <cctype>

namespace corvel {
namespace {

constexpr std::string_view kPrefix = "vexa.";
constexpr std::string_view kSuffix = ".sock";
constexpr size_t kSerialDigits = 12;

char upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

bool isUpperHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

}  // namespace

std::string tokenSocketName(std::string_view serial)
{
    std::string name(kPrefix);
    std::transform(serial.begin(), serial.end(), std::back_inserter(name), upper);
    name += kSuffix;
    return name;
}

bool isTokenSocketName(std::string_view name)
{
    if (name.size() != kPrefix.size() + kSerialDigits + kSuffix.size() || name.substr(0, kPrefix.size()) != kPrefix ||
        name.substr(kPrefix.size() + kSerialDigits) != kSuffix) {
        return false;
    }
    const std::string_view serial = name.substr(kPrefix.size(), kSerialDigits);
    return std::all_of(serial.begin(), serial.end(), isUpperHexDigit);
}

bool sameSerial(std::string_view a, std::string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return upper(x) == upper(y); });
}

}  // namespace corvel
