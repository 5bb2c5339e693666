#pragma once
// PKCS#11 fixed-size text fields: blank-padded, not terminated.
#include <cstddef>
#include <string>

namespace vexa::tool {

template <size_t N>
std::string paddedText(const unsigned char (&field)[N])
{
    std::string text(reinterpret_cast<const char*>(field), N);
    const size_t end = text.find_last_not_of(" \0", std::string::npos, 2);
    return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

}  // namespace vexa::tool
