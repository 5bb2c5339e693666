#include "LogLevel.h"

#include <cstdio>

namespace corvel {

std::optional<std::string> formatLogMessage(const char* format, va_list args)
{
    char buffer[kLogBufferSize];
    const int length = std::vsnprintf(buffer, sizeof buffer, format, args);
    if (length < 1 || length >= kLogBufferSize) {
        return std::nullopt;
    }
    return std::string(buffer, static_cast<size_t>(length));
}

const char* levelName(int32_t level)
{
    switch (level) {
    case kLogTrace:
        return "TRACE";
    case kLogDebug:
        return "DEBUG";
    case kLogInfo:
        return "INFO";
    case kLogWarn:
        return "WARN";
    case kLogError:
        return "ERROR";
    default:
        return "";
    }
}

}  // namespace corvel
