#pragma once
// Which field of RpcAttribute carries the value of each attribute type: the
// one table the library's template writer and the token's templates share.
#include <p11-kit/pkcs11.h>

#include <cstddef>
#include <cstdint>

namespace vexa::wire {

// Every switch over a kind names each one, so the compiler shows each place
// that must learn a new kind.
enum class AttributeKind : uint8_t {
    Bytes,          // valueLength and value: every type the table does not list
    Numeric,        // number: a CK_ULONG cut to 32 bits
    Boolean,        // flag: a CK_BBOOL, true when not 0
    MechanismList,  // mechanisms: an array of CK_MECHANISM_TYPE, each cut to 32 bits
    Template,       // members: an array of CK_ATTRIBUTE, each member of a kind above
};

struct AttributeKindRow {
    CK_ATTRIBUTE_TYPE type;
    AttributeKind kind;
};

// Every type that does not travel as bytes, in ascending order of type. An
// array attribute the table does not name holds CK_ATTRIBUTE records, as
// the templates do.
inline constexpr AttributeKindRow kAttributeKinds[] = {
    {CKA_CLASS, AttributeKind::Numeric},
    {CKA_TOKEN, AttributeKind::Boolean},
    {CKA_PRIVATE, AttributeKind::Boolean},
    {CKA_CERTIFICATE_TYPE, AttributeKind::Numeric},
    {CKA_TRUSTED, AttributeKind::Boolean},
    {CKA_CERTIFICATE_CATEGORY, AttributeKind::Numeric},
    {CKA_JAVA_MIDP_SECURITY_DOMAIN, AttributeKind::Numeric},
    {CKA_NAME_HASH_ALGORITHM, AttributeKind::Numeric},
    {CKA_KEY_TYPE, AttributeKind::Numeric},
    {CKA_SENSITIVE, AttributeKind::Boolean},
    {CKA_ENCRYPT, AttributeKind::Boolean},
    {CKA_DECRYPT, AttributeKind::Boolean},
    {CKA_WRAP, AttributeKind::Boolean},
    {CKA_UNWRAP, AttributeKind::Boolean},
    {CKA_SIGN, AttributeKind::Boolean},
    {CKA_SIGN_RECOVER, AttributeKind::Boolean},
    {CKA_VERIFY, AttributeKind::Boolean},
    {CKA_VERIFY_RECOVER, AttributeKind::Boolean},
    {CKA_DERIVE, AttributeKind::Boolean},
    {CKA_MODULUS_BITS, AttributeKind::Numeric},
    {CKA_VALUE_LEN, AttributeKind::Numeric},
    {CKA_EXTRACTABLE, AttributeKind::Boolean},
    {CKA_LOCAL, AttributeKind::Boolean},
    {CKA_NEVER_EXTRACTABLE, AttributeKind::Boolean},
    {CKA_ALWAYS_SENSITIVE, AttributeKind::Boolean},
    {CKA_KEY_GEN_MECHANISM, AttributeKind::Numeric},
    {CKA_MODIFIABLE, AttributeKind::Boolean},
    {CKA_COPYABLE, AttributeKind::Boolean},
    {CKA_DESTROYABLE, AttributeKind::Boolean},
    {CKA_ALWAYS_AUTHENTICATE, AttributeKind::Boolean},
    {CKA_WRAP_WITH_TRUSTED, AttributeKind::Boolean},
    {CKA_WRAP_TEMPLATE, AttributeKind::Template},
    {CKA_UNWRAP_TEMPLATE, AttributeKind::Template},
    {CKA_DERIVE_TEMPLATE, AttributeKind::Template},
    {CKA_ALLOWED_MECHANISMS, AttributeKind::MechanismList},
    {CKA_VENDOR_DEFINED + 2, AttributeKind::Boolean},  // a flag of the token's own
};

inline constexpr size_t kAttributeKindCount = sizeof kAttributeKinds / sizeof kAttributeKinds[0];

constexpr bool attributeKindsAscend()
{
    for (size_t i = 1; i < kAttributeKindCount; ++i) {
        if (kAttributeKinds[i - 1].type >= kAttributeKinds[i].type) {
            return false;
        }
    }
    return true;
}
static_assert(attributeKindsAscend(), "attributeKind searches the table by halves");

constexpr AttributeKind attributeKind(CK_ATTRIBUTE_TYPE type)
{
    size_t low = 0;
    size_t high = kAttributeKindCount;
    while (low < high) {
        const size_t middle = low + (high - low) / 2;
        if (kAttributeKinds[middle].type < type) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    if (low < kAttributeKindCount && kAttributeKinds[low].type == type) {
        return kAttributeKinds[low].kind;
    }
    return (type & CKF_ARRAY_ATTRIBUTE) != 0 ? AttributeKind::Template : AttributeKind::Bytes;
}

constexpr bool isArrayKind(AttributeKind kind)
{
    return kind == AttributeKind::MechanismList || kind == AttributeKind::Template;
}

// The size of one entry of an array kind in the caller's memory.
constexpr size_t arrayEntrySize(AttributeKind kind)
{
    return kind == AttributeKind::MechanismList ? sizeof(CK_MECHANISM_TYPE) : sizeof(CK_ATTRIBUTE);
}

// Entries of one array attribute: what a reply of 2048 bytes could hold
// anyway, so a larger count is no array a token sends.
inline constexpr uint32_t kMaxArrayEntries = 64;

// valueLength (or number) of an attribute in a reply whose value the token
// does not reveal.
inline constexpr uint32_t kUnavailable = 0xFFFFFFFFu;

}  // namespace vexa::wire
