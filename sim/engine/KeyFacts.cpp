#include "KeyFacts.h"

#include <mbedtls/ecp.h>
#include <mbedtls/oid.h>

#include <algorithm>
#include <vector>

namespace vexa::sim::engine {
namespace {

using Value = std::vector<CK_BYTE>;

// No key attribute the size depends on is longer; anything larger is not
// read.
constexpr CK_ULONG kLargestSizeValue = 4096;

// The two Edwards curves, as DER object identifiers and as the DER
// PrintableString curve names (which SoftHSM2 gives the private key it
// generates), and their encoding sizes.
const Value kEd25519 = {0x06, 0x03, 0x2B, 0x65, 0x70};
const Value kEd448 = {0x06, 0x03, 0x2B, 0x65, 0x71};
const Value kEd25519Name = {0x13, 0x0C, 'e', 'd', 'w', 'a', 'r', 'd', 's', '2', '5', '5', '1', '9'};
const Value kEd448Name = {0x13, 0x0A, 'e', 'd', 'w', 'a', 'r', 'd', 's', '4', '4', '8'};
constexpr size_t kEd25519Size = 32;
constexpr size_t kEd448Size = 57;

CK_RV readNumber(CK_FUNCTION_LIST& p11, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE key, CK_ATTRIBUTE_TYPE type,
                 CK_ULONG& out)
{
    CK_ATTRIBUTE a{type, &out, sizeof out};
    return p11.C_GetAttributeValue(s, key, &a, 1);
}

// Empty when the key has no such attribute, or one too large to matter.
Value readValue(CK_FUNCTION_LIST& p11, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE key, CK_ATTRIBUTE_TYPE type)
{
    CK_ATTRIBUTE a{type, nullptr, 0};
    if (p11.C_GetAttributeValue(s, key, &a, 1) != CKR_OK || a.ulValueLen > kLargestSizeValue) {
        return {};
    }
    Value v(a.ulValueLen);
    a.pValue = v.data();
    if (v.empty() || p11.C_GetAttributeValue(s, key, &a, 1) != CKR_OK) {
        return {};
    }
    v.resize(std::min<CK_ULONG>(a.ulValueLen, v.size()));
    return v;
}

// A big-endian number's length without its leading zero bytes, as the
// crypto library counts it.
size_t significantBytes(const Value& number)
{
    auto first = std::find_if(number.begin(), number.end(), [](CK_BYTE b) { return b != 0; });
    return static_cast<size_t>(number.end() - first);
}

size_t ecOrderBytes(const Value& params)
{
    // A named curve: the DER encoding of its object identifier.
    if (params.size() < 3 || params[0] != MBEDTLS_ASN1_OID || params[1] != params.size() - 2) {
        return 0;
    }
    mbedtls_asn1_buf oid{MBEDTLS_ASN1_OID, params.size() - 2, const_cast<unsigned char*>(params.data() + 2)};
    mbedtls_ecp_group_id id = MBEDTLS_ECP_DP_NONE;
    if (mbedtls_oid_get_ec_grp(&oid, &id) != 0) {
        return 0;
    }
    mbedtls_ecp_group group;
    mbedtls_ecp_group_init(&group);
    size_t size = mbedtls_ecp_group_load(&group, id) == 0 ? mbedtls_mpi_size(&group.N) : 0;
    mbedtls_ecp_group_free(&group);
    return size;
}

size_t edwardsBytes(const Value& params)
{
    if (params == kEd25519 || params == kEd25519Name) {
        return kEd25519Size;
    }
    return params == kEd448 || params == kEd448Name ? kEd448Size : 0;
}

size_t keySize(CK_FUNCTION_LIST& p11, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE key, CK_KEY_TYPE type)
{
    switch (type) {
    case CKK_RSA:
        return significantBytes(readValue(p11, s, key, CKA_MODULUS));
    case CKK_DSA:
        return significantBytes(readValue(p11, s, key, CKA_SUBPRIME));
    case CKK_DH:
        return significantBytes(readValue(p11, s, key, CKA_PRIME));
    case CKK_EC:
        return ecOrderBytes(readValue(p11, s, key, CKA_EC_PARAMS));
    case CKK_EC_EDWARDS:
        return edwardsBytes(readValue(p11, s, key, CKA_EC_PARAMS));
    default:
        return 0;
    }
}

}  // namespace

bool isSecretKeyType(CK_KEY_TYPE type)
{
    switch (type) {
    case CKK_RSA:
    case CKK_DSA:
    case CKK_DH:
    case CKK_EC:
    case CKK_EC_EDWARDS:
    case CKK_X9_42_DH:
    case CKK_KEA:
    case CKK_GOSTR3410:
        return false;
    default:
        return true;
    }
}

CK_RV readKeyFacts(CK_FUNCTION_LIST& p11, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key, KeyFacts& out)
{
    out = KeyFacts();
    if (CK_RV rv = readNumber(p11, session, key, CKA_CLASS, out.cls); rv != CKR_OK) {
        return rv;
    }
    // Objects that are no keys have no key type; the checks refuse them.
    if (readNumber(p11, session, key, CKA_KEY_TYPE, out.type) != CKR_OK) {
        out.type = CKK_VENDOR_DEFINED;
        return CKR_OK;
    }
    out.size = keySize(p11, session, key, out.type);
    return CKR_OK;
}

}  // namespace vexa::sim::engine
