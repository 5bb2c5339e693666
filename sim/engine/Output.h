#pragma once
// The PKCS#11 output-length convention, carried over the wire: `lengthOnly`
// asks for the size, `outputLength` announces the caller's capacity, and an
// output that does not fit is answered with CKR_BUFFER_TOO_SMALL and the size.
#include <p11-kit/pkcs11.h>

#include <functional>

#include "Wire.h"

namespace vexa::sim::engine {

// One call that follows the convention (C_Encrypt, C_Sign, C_WrapKey, ...).
using OutputCall = std::function<CK_RV(CK_BYTE_PTR out, CK_ULONG_PTR length)>;

// Runs `call` for the request and fills `output` and `outputLength`. An
// output that the caller could take but no reply can carry ends the
// operation with CKR_DATA_LEN_RANGE instead.
CK_RV answerOutput(const Request& req, Response& resp, const OutputCall& call);

// Cuts a CK_ULONG to the 32 bits the wire carries; larger values (such as
// CK_UNAVAILABLE_INFORMATION) become 0xFFFFFFFF.
uint32_t wire32(CK_ULONG value);

}  // namespace vexa::sim::engine
