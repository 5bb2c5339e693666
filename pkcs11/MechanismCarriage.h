#pragma once
#include <p11-kit/pkcs11.h>

#include "CLogTarget.h"
#include "FieldCallbacks.h"
#include "vexa.pb.h"

namespace vexa::pkcs11 {

// How a CK_MECHANISM travels in RpcRequest.mechanism. The parameter bytes are
// read from the caller's memory while the request is encoded, so the caller's
// mechanism must outlive the exchange. A null parameter is sent empty.

// A parameter length that points at nothing: refused by every function
// that carries a mechanism, before anything reads the parameter.
inline bool claimsMissingParameter(const CK_MECHANISM& mechanism)
{
    return mechanism.pParameter == nullptr && mechanism.ulParameterLen != 0;
}

// A parameter that cannot travel plain: a length that points at nothing, or
// one that no field holds. Refused with CKR_ARGUMENTS_BAD by the functions
// that carry the mechanism plain; CStructuredMechanism::prepare refuses it
// for the structured way.
inline bool unfitParameter(const CK_MECHANISM& mechanism)
{
    return claimsMissingParameter(mechanism) || !fitsLengthField(mechanism.ulParameterLen);
}

// Type and parameter bytes.
void carryPlain(RpcMechanism& out, const CK_MECHANISM& mechanism);
// Type, parameter length and parameter bytes.
void carryPlainWithLength(RpcMechanism& out, const CK_MECHANISM& mechanism);

// Type with the OAEP or ECDH1 parameter block taken apart into its own
// message; any other type plain with length. Checks the block first, so it
// is prepared before the library lock is taken and written once the request
// is cleared. Holds what the written fields point at: keep it alive, and in
// place, until the exchange is over.
class CStructuredMechanism {
public:
    CStructuredMechanism() = default;
    CStructuredMechanism(const CStructuredMechanism&) = delete;
    CStructuredMechanism& operator=(const CStructuredMechanism&) = delete;

    // CKR_ARGUMENTS_BAD when the block is not what the type requires, or
    // when a plain parameter's length does not fit its field.
    CK_RV prepare(const CK_MECHANISM& mechanism, CLogTarget& log);
    // Only after prepare gave CKR_OK.
    void writeTo(RpcMechanism& out) const { out = m_mechanism; }

private:
    CK_RV prepareOaep(const CK_MECHANISM& mechanism);
    CK_RV prepareEcdh1(const CK_MECHANISM& mechanism);

    RpcMechanism m_mechanism = RpcMechanism_init_zero;
    ByteSpan m_bytes{nullptr, 0};  // OAEP source data or ECDH1 public data
};

}  // namespace vexa::pkcs11
