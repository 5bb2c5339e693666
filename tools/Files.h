#pragma once
// Whole files in and out; "-" is standard input or output.
#include <cstdint>
#include <string>
#include <vector>

namespace vexa::tool {

// Throws Failure when the file cannot be read.
std::vector<uint8_t> readWholeFile(const std::string& path);
// Replaces the file only once everything is written (a temporary file beside
// it, then renamed), so a failure leaves the old one as it was. Throws Failure.
void writeWholeFile(const std::string& path, const uint8_t* data, size_t length);

}  // namespace vexa::tool
