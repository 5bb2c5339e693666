#pragma once
// The rules of MechanismRules.h applied to calls: the key at an operation's
// start, the lengths at each of its calls.
#include <optional>

#include "MechanismRules.h"
#include "Token.h"
#include "Wire.h"

namespace vexa::sim::engine {

// The facts of a key the session names. `invalidKey` is the call's answer
// for a key the session cannot see.
CK_RV keyFactsFor(CToken& token, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key, CK_RV invalidKey, KeyFacts& out);

// The key checks of an operation's start.
CK_RV checkKeyFor(CToken& token, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key, const CK_MECHANISM& mechanism,
                  KeyUse use, CK_RV invalidKey, OperationLimits& limits);

// The data of C_Encrypt, C_Sign or C_Verify, and the ciphertext or signature
// of C_Decrypt, C_Verify or C_VerifyFinal, against the operation the session
// started (nothing to check when it started none of this use). A refused
// call ends the operation, as every failed call of these does in PKCS#11;
// SoftHSM2 is made to end it with a call it handles safely.
CK_RV checkInputOf(CToken& token, CK_SESSION_HANDLE session, KeyUse use, const std::optional<Bytes>& data);
CK_RV checkSealedOf(CToken& token, CK_SESSION_HANDLE session, KeyUse use, const std::optional<Bytes>& sealed);

// The result of a final call (C_SignFinal, C_VerifyFinal, C_EncryptFinal,
// C_DecryptFinal) on the session's operation of that use. PKCS#11 ends the
// operation at every final call but a length query or CKR_BUFFER_TOO_SMALL;
// SoftHSM2 refuses the final of a single-part mechanism and keeps it, so the
// token ends it here.
CK_RV finalResult(CToken& token, CK_SESSION_HANDLE session, KeyUse use, CK_RV rv);

}  // namespace vexa::sim::engine
