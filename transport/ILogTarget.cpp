#include "ILogTarget.h"

#include <cstdarg>
#include <cstdio>

namespace corvel {

void ILogTarget::logFormat(int32_t level, const char* format, ...)
{
    char buffer[kLogBufferSize];
    va_list args;
    va_start(args, format);
    const int length = vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (length >= 1 && length < kLogBufferSize) {
        logText(level, std::string(buffer, static_cast<size_t>(length)));
    } else {
        logFormat(kLogError, "%s", kLogTooLong);
    }
}

}  // namespace corvel
