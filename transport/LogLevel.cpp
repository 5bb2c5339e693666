#include "LogLevel.h"

namespace corvel {

const char* levelName(int32_t level)
{
    switch (level) {
    case kLogTrace: return "TRACE";
    case kLogDebug: return "DEBUG";
    case kLogInfo: return "INFO";
    case kLogWarn: return "WARN";
    case kLogError: return "ERROR";
    default: return "";
    }
}

}  // namespace corvel
