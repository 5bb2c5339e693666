#pragma once

namespace vexa::sim {

// Device activity on standard error, only with --verbose.
void setVerbose(bool on);
void logVerbose(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace vexa::sim
