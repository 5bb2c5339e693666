#include "EventLogReader.h"

#include <algorithm>
#include <vector>

#include "Errors.h"

namespace vexa::tool {
namespace {

// The log can grow between asking for its size and reading it.
constexpr int kReadAttempts = 3;
// The library reads the log in one exchange, whose reply holds a few
// kilobytes at most: a larger size is the token's fault, not room to allocate.
constexpr CK_ULONG kLargestLog = 64 * 1024;

[[noreturn]] void refuse(CK_SLOT_ID slot, const std::string& what)
{
    throw Failure("bReadLogEntries: the token " + what + " (slot " + std::to_string(slot) + ")");
}

}  // namespace

std::string readEventLog(CK_SLOT_ID slot, const LogReader& read)
{
    CK_ULONG needed = 0;
    if (read(slot, nullptr, &needed)) {
        return {};
    }
    for (int attempt = 0; attempt < kReadAttempts && needed != 0; ++attempt) {
        if (needed > kLargestLog) {
            refuse(slot, "claims a log of " + std::to_string(needed) + " bytes");
        }
        std::vector<uint8_t> buffer(needed);
        CK_ULONG length = buffer.size();
        if (read(slot, buffer.data(), &length)) {
            return std::string(buffer.begin(), buffer.begin() + std::min<CK_ULONG>(length, buffer.size()));
        }
        if (length <= buffer.size()) {
            break;
        }
        needed = length;
    }
    refuse(slot, "did not hand over its log");
}

}  // namespace vexa::tool
