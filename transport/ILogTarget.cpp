#include "ILogTarget.h"

#include <cstdarg>

namespace corvel {

void ILogTarget::logFormat(int32_t level, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const std::optional<std::string> text = formatLogMessage(format, args);
    va_end(args);
    if (text.has_value()) {
        logText(level, *text);
    } else {
        logText(kLogError, kLogTooLong);
    }
}

}  // namespace corvel
