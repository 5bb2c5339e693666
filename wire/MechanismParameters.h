#pragma once
// Which mechanisms' parameters travel as the caller's bytes: those that hold
// no address. Every other parameter travels taken apart (RpcMechanism's
// structured fields) or not at all; both ends check against this one list.
#include <p11-kit/pkcs11.h>

#include <algorithm>
#include <iterator>

namespace vexa::wire {

// An IV, a CK_AES_CTR_PARAMS, a CK_RSA_PKCS_PSS_PARAMS, a
// CK_MAC_GENERAL_PARAMS, a DH public value.
inline constexpr CK_MECHANISM_TYPE kPlainParameterMechanisms[] = {
    CKM_DES_CBC,
    CKM_DES_CBC_PAD,
    CKM_DES3_CBC,
    CKM_DES3_CBC_PAD,
    CKM_AES_CBC,
    CKM_AES_CBC_PAD,
    CKM_AES_CTR,
    CKM_AES_KEY_WRAP,
    CKM_AES_KEY_WRAP_PAD,
    CKM_AES_CMAC_GENERAL,
    CKM_DES3_CMAC_GENERAL,
    CKM_DH_PKCS_DERIVE,
    CKM_RSA_PKCS_PSS,
    CKM_SHA1_RSA_PKCS_PSS,
    CKM_SHA224_RSA_PKCS_PSS,
    CKM_SHA256_RSA_PKCS_PSS,
    CKM_SHA384_RSA_PKCS_PSS,
    CKM_SHA512_RSA_PKCS_PSS,
    CKM_MD5_HMAC_GENERAL,
    CKM_SHA_1_HMAC_GENERAL,
    CKM_SHA224_HMAC_GENERAL,
    CKM_SHA256_HMAC_GENERAL,
    CKM_SHA384_HMAC_GENERAL,
    CKM_SHA512_HMAC_GENERAL,
};

inline bool hasPlainParameter(CK_MECHANISM_TYPE type)
{
    return std::find(std::begin(kPlainParameterMechanisms), std::end(kPlainParameterMechanisms), type) !=
           std::end(kPlainParameterMechanisms);
}

}  // namespace vexa::wire
