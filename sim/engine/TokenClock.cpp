#include "TokenClock.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace vexa::sim::engine {
namespace {

// Offsets come from the state file; keep them far from int64 overflow.
constexpr int64_t kMaxOffset = int64_t(1) << 40;

int64_t hostNow() { return static_cast<int64_t>(std::time(nullptr)); }

std::string format(int64_t t, const char* pattern)
{
    std::time_t tt = static_cast<std::time_t>(t);
    std::tm tm{};
    if (!gmtime_r(&tt, &tm)) {
        return {};
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, pattern, tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                  tm.tm_sec);
    return buf;
}

}  // namespace

CTokenClock::CTokenClock(int64_t offset) : m_offset(std::clamp(offset, -kMaxOffset, kMaxOffset)) {}

int64_t CTokenClock::now() const { return hostNow() + m_offset; }

void CTokenClock::set(int64_t secondsSince1970)
{
    m_offset = std::clamp(secondsSince1970 - hostNow(), -kMaxOffset, kMaxOffset);
}

std::string CTokenClock::utcTime(int64_t t) { return format(t, "%04d%02d%02d%02d%02d%02d00"); }

std::string CTokenClock::stamp(int64_t t) { return format(t, "%04d-%02d-%02d %02d:%02d:%02d"); }

}  // namespace vexa::sim::engine
