#pragma once
// The token's functions, one family per file, each registered under the
// function ids of the message schema.
#include <p11-kit/pkcs11.h>

#include <map>

#include "CallArgs.h"
#include "Token.h"
#include "Wire.h"

namespace vexa::sim::engine {

using Call = CK_RV (*)(CToken& token, const Request& req, Response& resp);
using CallTable = std::map<uint32_t, Call>;

void addSessionCalls(CallTable& table);
void addObjectCalls(CallTable& table);
void addCryptoCalls(CallTable& table);
void addKeyCalls(CallTable& table);
void addVendorCalls(CallTable& table);
void addBitcoinCalls(CallTable& table);

// Input bytes for SoftHSM2: null when the field was absent, a valid address
// (even for no bytes) when it was present.
CK_BYTE_PTR input(const std::optional<Bytes>& bytes);
CK_ULONG inputLength(const std::optional<Bytes>& bytes);

// A template for SoftHSM2, never null: the wire does not tell a null
// template from an empty one, and SoftHSM2 refuses a null one where an
// empty one is valid (C_CopyObject copies with no changes).
CK_ATTRIBUTE_PTR attributes(CTemplate& templ);

// "0x00001080": how mechanisms and result codes appear in the event log.
std::string hex32(CK_ULONG value);

}  // namespace vexa::sim::engine
