#include "SimLog.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace vexa::sim {
namespace {
std::atomic<bool> gVerbose{false};
}

void setVerbose(bool on) { gVerbose = on; }

void logVerbose(const char* format, ...)
{
    if (!gVerbose) {
        return;
    }
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::fprintf(stderr, "vexa-token-sim: %s\n", line);
}

}  // namespace vexa::sim
