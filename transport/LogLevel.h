#pragma once
#include <cstdarg>
#include <cstdint>
#include <optional>
#include <string>

namespace corvel {

// Numeric log levels shared by the daemon's logger and the library's log target.
constexpr int32_t kLogTrace = 10;
constexpr int32_t kLogDebug = 20;
constexpr int32_t kLogInfo = 30;
constexpr int32_t kLogWarn = 40;
constexpr int32_t kLogError = 50;

// Size of the formatting buffer of both loggers; a message must fit with its
// terminating zero, so the longest message written is one byte shorter.
constexpr int kLogBufferSize = 2048;
constexpr const char* kLogTooLong = "log printbuf too small.";

// The message formatted into a buffer of kLogBufferSize bytes; nothing when it
// is empty or does not fit, which both loggers report as kLogTooLong.
std::optional<std::string> formatLogMessage(const char* format, va_list args);

// "TRACE", "DEBUG", "INFO", "WARN", "ERROR"; "" for any other number.
const char* levelName(int32_t level);

}  // namespace corvel
