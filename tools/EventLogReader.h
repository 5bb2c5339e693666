#pragma once
// The token's event log, fetched with bReadLogEntries: first its size, then
// the text.
#include <functional>
#include <string>

#include "vexa.h"

namespace vexa::tool {

// bReadLogEntries, or a stand-in for it.
using LogReader = std::function<bool(CK_SLOT_ID, uint8_t*, CK_ULONG*)>;

// The log's text. Failure when the token does not hand it over, or claims a
// size that no log has.
std::string readEventLog(CK_SLOT_ID slot, const LogReader& read = bReadLogEntries);

}  // namespace vexa::tool
