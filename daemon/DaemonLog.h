#pragma once
#include <cstdarg>
#include <cstdint>
#include <string>

#include "LogLevel.h"

namespace vexa::daemon {

// Process-wide threshold: messages below it are dropped. Set once at start,
// before any other thread exists.
void setLogThreshold(int32_t threshold);

// Writes "tid:<thread id> <level word> : <message>" to standard output for
// levels up to INFO and to standard error above it. Never fails to the caller.
void LogMessage(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The message text of a log line: the formatted message when it is 1 to 2047
// characters long, otherwise "log printbuf too small.".
std::string FormatLogText(const char* format, va_list args);

}  // namespace vexa::daemon
