#pragma once
// Hashing signatures that SoftHSM2 2.6 offers only without the hash
// (CKM_ECDSA_SHA1 to CKM_ECDSA_SHA512): the token hashes the data itself and
// has SoftHSM2 sign or verify the digest with the raw mechanism, as a token
// whose signing unit takes digests does.
#include <p11-kit/pkcs11.h>

#include <memory>

#include "Wire.h"

namespace vexa::sim::engine {

class CPreHash {
public:
    // The hashing state of a new operation with this mechanism; null when
    // SoftHSM2 runs the mechanism itself.
    static std::shared_ptr<CPreHash> forMechanism(CK_MECHANISM_TYPE mechanism);

    ~CPreHash();
    CPreHash(const CPreHash&) = delete;
    CPreHash& operator=(const CPreHash&) = delete;

    // The mechanism SoftHSM2 signs and verifies the digest with.
    CK_MECHANISM_TYPE rawMechanism() const { return m_raw; }
    // The digest of `data` alone (C_Sign, C_Verify).
    Bytes digestOf(const std::optional<Bytes>& data) const;
    // Adds to the running hash (C_SignUpdate, C_VerifyUpdate).
    void update(const std::optional<Bytes>& data);
    // The digest of everything added so far; the running hash goes on, so
    // a length query and the call after it see the same digest.
    Bytes digest() const;

private:
    struct Context;
    CPreHash(CK_MECHANISM_TYPE raw, std::unique_ptr<Context> context);

    CK_MECHANISM_TYPE m_raw;
    std::unique_ptr<Context> m_context;
};

}  // namespace vexa::sim::engine
