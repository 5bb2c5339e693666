#pragma once
// What the token's checks need to know of a key before it is used: its
// class, its type, and the size its lengths follow.
#include <p11-kit/pkcs11.h>

#include <cstddef>

namespace vexa::sim::engine {

struct KeyFacts {
    CK_OBJECT_CLASS cls = CKO_VENDOR_DEFINED;
    CK_KEY_TYPE type = CKK_VENDOR_DEFINED;
    // Bytes of the quantity the key's data and signature lengths follow: the
    // RSA modulus, the DSA subprime, the EC group order, the Edwards curve's
    // encoding (32 or 57), the DH prime. 0 for secret keys and for a key
    // whose size cannot be told (an empty modulus, an unknown curve).
    size_t size = 0;
};

// Reads the facts through SoftHSM2; its error when the key cannot be read
// in this session.
CK_RV readKeyFacts(CK_FUNCTION_LIST& p11, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key, KeyFacts& out);

bool isSecretKeyType(CK_KEY_TYPE type);

}  // namespace vexa::sim::engine
