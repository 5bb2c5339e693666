#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace vexa::sim {

// Splits a byte stream into control lines. A line longer than kMaxLine is
// returned as the marker line kTooLong instead of growing the buffer without
// bound.
class CLineBuffer {
public:
    static constexpr size_t kMaxLine = 1024;
    static constexpr const char* kTooLong = "\x01too-long";

    // Appends bytes; returns the lines they completed, without "\n" or "\r\n".
    std::vector<std::string> feed(const char* data, size_t length);
    // What is left when the stream ends (an unterminated last line).
    std::vector<std::string> finish();

private:
    void complete(std::vector<std::string>& lines);

    std::string m_pending;
    bool m_overflow = false;
};

}  // namespace vexa::sim
