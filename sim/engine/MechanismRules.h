#pragma once
// What the token checks before a keyed operation reaches SoftHSM2, as a
// token's firmware does: for every mechanism it offers, the operations it
// serves, the key types it takes, the parameter it needs, and the lengths of
// input, ciphertext and signature relative to the key. SoftHSM2 takes all of
// these on trust and fails hard on some (a raw RSA input longer than the
// modulus, a DSA or RSA operation on a key of another type), so nothing
// unchecked reaches it.
#include <p11-kit/pkcs11.h>

#include <cstddef>
#include <optional>
#include <vector>

#include "KeyFacts.h"

namespace vexa::sim::engine {

enum class KeyUse { Encrypt, Decrypt, Sign, Verify, Wrap, Unwrap, Derive };

// The lengths one operation accepts, fixed when it starts.
struct OperationLimits {
    bool singlePart = false;           // the mechanism has no Update and Final
    std::optional<size_t> maxInput;    // data to encrypt, sign or verify
    std::vector<size_t> inputSizes;    // the only data lengths allowed, when not empty
    std::optional<size_t> sealedSize;  // ciphertext to decrypt, signature to verify, key to unwrap
};

// CKR_OK when `mechanism` may serve `use` with this key, and the limits of
// the operation; otherwise the error a token gives at the operation's start
// (CKR_MECHANISM_INVALID, CKR_KEY_TYPE_INCONSISTENT or its wrapping
// variants, CKR_KEY_SIZE_RANGE, CKR_MECHANISM_PARAM_INVALID).
CK_RV checkKeyUse(const CK_MECHANISM& mechanism, KeyUse use, const KeyFacts& key, OperationLimits& limits);

// The data of C_Encrypt, C_Sign, C_Verify: CKR_OK or CKR_DATA_LEN_RANGE.
CK_RV checkInput(const OperationLimits& limits, size_t length);
// The ciphertext of C_Decrypt (CKR_ENCRYPTED_DATA_LEN_RANGE), the signature
// of C_Verify and C_VerifyFinal (CKR_SIGNATURE_LEN_RANGE), the wrapped key of
// C_UnwrapKey (CKR_WRAPPED_KEY_LEN_RANGE).
CK_RV checkSealed(const OperationLimits& limits, KeyUse use, size_t length);

// The sizes the token makes keys and domain parameters in (C_GenerateKey,
// C_GenerateKeyPair with this template): CKR_OK, or the error for a size
// beyond them. A size the template leaves out is the engine's to refuse.
CK_RV checkGeneration(CK_MECHANISM_TYPE mechanism, const CK_ATTRIBUTE* templ, CK_ULONG count);

}  // namespace vexa::sim::engine
