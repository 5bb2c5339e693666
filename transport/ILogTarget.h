#pragma once
#include <cstdint>
#include <string>

#include "LogLevel.h"

namespace corvel {

// The library's log sink. Transports hold an optional, non-owned pointer to
// one; the library context implements it. Never destroyed through this type.
class ILogTarget {
public:
    virtual void logText(int32_t level, const std::string& text) = 0;
    // Formats into a 2048-byte buffer and passes the text to logText. A text
    // that is empty or does not fit becomes "log printbuf too small." at ERROR.
    virtual void logFormat(int32_t level, const char* format, ...) __attribute__((format(printf, 3, 4)));

protected:
    ~ILogTarget() = default;
};

}  // namespace corvel
