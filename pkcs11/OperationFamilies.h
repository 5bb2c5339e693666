#pragma once
// The five families of cryptographic operations, and what the library must
// know of each to keep the application's view of an operation and the
// token's in step: which functions belong to it, which of them start an
// operation, which mechanisms also run in parts, and the request that ends
// an operation the token may still hold.
#include <p11-kit/pkcs11.h>

#include <cstddef>
#include <cstdint>
#include <optional>

#include "FieldCallbacks.h"
#include "vexa.pb.h"
#include "wire/Functions.h"

namespace vexa::pkcs11 {

enum class Family : uint8_t { Encrypt, Decrypt, Sign, Verify, Digest };
constexpr size_t kFamilyCount = 5;

// A function of a family: the Init that starts an operation, a part that
// leaves it going when it succeeds (an update, C_DigestKey), or a call that
// ends it (single part, final) unless it is a length query or answered with
// CKR_BUFFER_TOO_SMALL.
enum class CallKind : uint8_t { Start, Part, End };
struct FamilyCall {
    Family family;
    CallKind kind;
};

// The family of a function; none for every function outside the five.
std::optional<FamilyCall> familyOf(uint32_t function);

// The mechanism also runs as updates and a final, so a single-part call too
// large for one message can go in parts. False for a mechanism not known
// here: such a call is refused rather than cut.
bool runsInParts(Family family, CK_MECHANISM_TYPE mechanism);

// Fills request (function and fields, not the session) with the family's
// final call that ends an operation whatever it returns: a final with room
// for any output (C_SignFinal announces none, the token sends what it has),
// C_VerifyFinal with a one-byte signature no mechanism accepts. Its reply is
// read and thrown away; `signature` carries the one byte and must outlive
// the exchange.
void fillOperationEnd(Family family, RpcRequest& request, ByteSpan& signature);

}  // namespace vexa::pkcs11
