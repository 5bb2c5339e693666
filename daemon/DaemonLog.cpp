#include "DaemonLog.h"

#include <atomic>
#include <cstdio>
#include <sstream>
#include <thread>

namespace vexa::daemon {
namespace {

std::atomic<int32_t> g_threshold{corvel::kLogInfo};

std::string ThreadIdText()
{
    std::ostringstream out;
    out << std::this_thread::get_id();
    return out.str();
}

}  // namespace

void setLogThreshold(int32_t threshold) { g_threshold.store(threshold, std::memory_order_relaxed); }

std::string FormatLogText(const char* format, va_list args)
{
    return corvel::formatLogMessage(format, args).value_or(corvel::kLogTooLong);
}

void LogMessage(int level, const char* format, ...)
{
    if (level < g_threshold.load(std::memory_order_relaxed)) {
        return;
    }

    va_list args;
    va_start(args, format);
    const std::string text = FormatLogText(format, args);
    va_end(args);

    // One write per line keeps lines of different threads apart.
    const std::string line = "tid:" + ThreadIdText() + " " + corvel::levelName(level) + " : " + text + "\n";
    std::FILE* stream = level <= corvel::kLogInfo ? stdout : stderr;
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fflush(stream);
}

}  // namespace vexa::daemon
