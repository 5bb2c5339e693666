#pragma once
#include <p11-kit/pkcs11.h>

#include "CLogTarget.h"
#include "FieldCallbacks.h"
#include "vexa.pb.h"

namespace vexa::pkcs11 {

// How a CK_MECHANISM travels in RpcRequest.mechanism. The parameter bytes are
// read from the caller's memory while the request is encoded, so the caller's
// mechanism must outlive the exchange. A null parameter is sent empty.
//
// No address of the caller's process travels: a parameter block that holds
// one (OAEP, ECDH1, GCM, the ENCRYPT_DATA derivations) is taken apart into a
// message of its own, whatever the function; raw bytes go only for the
// mechanisms whose parameter is known to hold none (an IV, a counter block,
// CK_RSA_PKCS_PSS_PARAMS, a MAC length, a DH public value). Any other
// parameter is refused with CKR_MECHANISM_PARAM_INVALID before anything is
// sent.

// A parameter length that points at nothing: refused by every function
// that carries a mechanism, before anything reads the parameter.
inline bool claimsMissingParameter(const CK_MECHANISM& mechanism)
{
    return mechanism.pParameter == nullptr && mechanism.ulParameterLen != 0;
}

// A parameter that cannot travel plain: a length that points at nothing, or
// one that no field holds. Refused with CKR_ARGUMENTS_BAD by the functions
// that carry the mechanism plain; CStructuredMechanism refuses it for the
// structured way.
inline bool unfitParameter(const CK_MECHANISM& mechanism)
{
    return claimsMissingParameter(mechanism) || !fitsLengthField(mechanism.ulParameterLen);
}

// True for the mechanisms whose parameter travels as raw bytes.
bool hasPlainParameter(CK_MECHANISM_TYPE type);

// How a function sends a parameter that travels as raw bytes: `parameter`
// alone (C_DigestInit, C_GenerateKey, C_GenerateKeyPair) or with
// `parameterLength` (every other function).
enum class PlainWay { Bare, WithLength };

// The carried mechanism. Checks the parameter first, so it is prepared
// before the library lock is taken and written once the request is cleared.
// Holds what the written fields point at: keep it alive, and in place, until
// the exchange is over.
class CStructuredMechanism {
public:
    CStructuredMechanism() = default;
    CStructuredMechanism(const CStructuredMechanism&) = delete;
    CStructuredMechanism& operator=(const CStructuredMechanism&) = delete;

    // The way of C_EncryptInit, C_DecryptInit and C_DeriveKey: the type is
    // logged at TRACE, then carried with length.
    CK_RV prepare(const CK_MECHANISM& mechanism, CLogTarget& log);
    // CKR_ARGUMENTS_BAD when an OAEP or ECDH1 block is not what the type
    // requires, or a parameter's length does not fit its field;
    // CKR_MECHANISM_PARAM_INVALID when a GCM or ENCRYPT_DATA block is not,
    // or when the parameter is not one that may travel (above).
    CK_RV carry(const CK_MECHANISM& mechanism, PlainWay way);
    // Only after prepare or carry gave CKR_OK.
    void writeTo(RpcMechanism& out) const { out = m_mechanism; }

private:
    CK_RV prepareOaep(const CK_MECHANISM& mechanism);
    CK_RV prepareEcdh1(const CK_MECHANISM& mechanism);
    CK_RV prepareGcm(const CK_MECHANISM& mechanism);
    CK_RV prepareEncryptData(const CK_MECHANISM& mechanism, size_t ivSize);

    RpcMechanism m_mechanism = RpcMechanism_init_zero;
    // What the structured fields point at: OAEP source data, ECDH1 public
    // data, the GCM IV and additional data, the derivation's IV and data.
    ByteSpan m_bytes{nullptr, 0};
    ByteSpan m_bytes2{nullptr, 0};
    CK_BYTE m_iv[16] = {};
};

}  // namespace vexa::pkcs11
