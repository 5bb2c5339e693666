#include "Output.h"

#include <algorithm>

#include "Limits.h"

namespace vexa::sim::engine {
namespace {

// Largest output an operation is run to completion for, only to end it.
constexpr CK_ULONG kMaxDrain = 1u << 20;

}  // namespace

uint32_t wire32(CK_ULONG value) { return static_cast<uint32_t>(std::min<CK_ULONG>(value, 0xFFFFFFFFu)); }

CK_RV answerOutput(const Request& req, Response& resp, const OutputCall& call)
{
    if (req.lengthOnly) {
        CK_ULONG needed = 0;
        CK_RV rv = call(nullptr, &needed);
        if (rv == CKR_OK) {
            resp.outputLength = wire32(needed);
        }
        return rv;
    }
    const uint32_t capacity = req.outputLength.value_or(kMaxOutput);
    const uint32_t room = std::min(capacity, kMaxOutput);
    // Never a null buffer here: that would turn the call into a size query.
    Bytes buffer(std::max<uint32_t>(room, 1));
    CK_ULONG length = room;
    CK_RV rv = call(buffer.data(), &length);
    if (rv == CKR_BUFFER_TOO_SMALL) {
        if (length <= room || length > capacity) {
            resp.outputLength = wire32(length);
            return rv;
        }
        // The caller would take it, a reply cannot: finish the operation so
        // the session is free again, and refuse.
        if (length <= kMaxDrain) {
            Bytes drain(length);
            call(drain.data(), &length);
        }
        return CKR_DATA_LEN_RANGE;
    }
    if (rv != CKR_OK) {
        return rv;
    }
    if (length > room) {
        return CKR_DEVICE_ERROR;
    }
    buffer.resize(length);
    resp.output = std::move(buffer);
    resp.outputLength = static_cast<uint32_t>(length);
    return CKR_OK;
}

}  // namespace vexa::sim::engine
