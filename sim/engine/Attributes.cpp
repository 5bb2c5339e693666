#include "Attributes.h"

#include <algorithm>
#include <cstring>

namespace vexa::sim::engine {
namespace {

constexpr CK_ATTRIBUTE_TYPE kNumeric[] = {
    CKA_CLASS,
    CKA_CERTIFICATE_TYPE,
    CKA_CERTIFICATE_CATEGORY,
    CKA_JAVA_MIDP_SECURITY_DOMAIN,
    CKA_NAME_HASH_ALGORITHM,
    CKA_KEY_TYPE,
    CKA_MODULUS_BITS,
    CKA_VALUE_LEN,
    CKA_KEY_GEN_MECHANISM,
};

constexpr CK_ATTRIBUTE_TYPE kBoolean[] = {
    CKA_TOKEN,
    CKA_PRIVATE,
    CKA_TRUSTED,
    CKA_SENSITIVE,
    CKA_ENCRYPT,
    CKA_DECRYPT,
    CKA_WRAP,
    CKA_UNWRAP,
    CKA_SIGN,
    CKA_SIGN_RECOVER,
    CKA_VERIFY,
    CKA_VERIFY_RECOVER,
    CKA_DERIVE,
    CKA_EXTRACTABLE,
    CKA_LOCAL,
    CKA_NEVER_EXTRACTABLE,
    CKA_ALWAYS_SENSITIVE,
    CKA_MODIFIABLE,
    CKA_COPYABLE,
    CKA_DESTROYABLE,
    CKA_ALWAYS_AUTHENTICATE,
    CKA_WRAP_WITH_TRUSTED,
    CKA_VENDOR_DEFINED + 2,
};

template <size_t N>
bool contains(const CK_ATTRIBUTE_TYPE (&list)[N], CK_ATTRIBUTE_TYPE type)
{
    return std::find(std::begin(list), std::end(list), type) != std::end(list);
}

template <typename T>
Bytes bytesOf(T value)
{
    Bytes b(sizeof value);
    std::memcpy(b.data(), &value, sizeof value);
    return b;
}

CK_RV valueOf(const WireAttribute& a, Bytes& out)
{
    if (a.type & CKF_ARRAY_ATTRIBUTE) {
        return CKR_ATTRIBUTE_VALUE_INVALID;
    }
    if (a.number) {
        out = bytesOf<CK_ULONG>(*a.number);
    } else if (a.flag) {
        out = bytesOf<CK_BBOOL>(*a.flag ? CK_TRUE : CK_FALSE);
    } else if (a.value) {
        if (a.valueLength && *a.valueLength != a.value->size()) {
            return CKR_ATTRIBUTE_VALUE_INVALID;
        }
        out = *a.value;
    } else if (a.valueLength.value_or(0) != 0) {
        return CKR_ATTRIBUTE_VALUE_INVALID;  // a length without the bytes
    } else {
        out.clear();
    }
    return CKR_OK;
}

}  // namespace

AttributeClass attributeClass(CK_ATTRIBUTE_TYPE type)
{
    if (contains(kNumeric, type)) {
        return AttributeClass::Numeric;
    }
    if (contains(kBoolean, type)) {
        return AttributeClass::Boolean;
    }
    return AttributeClass::Bytes;
}

CK_RV Template::assign(const std::vector<WireAttribute>& wire)
{
    m_attrs.clear();
    m_values.assign(wire.size(), Bytes());
    for (size_t i = 0; i < wire.size(); ++i) {
        if (CK_RV rv = valueOf(wire[i], m_values[i]); rv != CKR_OK) {
            return rv;
        }
    }
    // Pointers are taken only once m_values no longer changes size. An empty
    // value still gets a valid address: PKCS#11 treats a null one as "no value".
    for (size_t i = 0; i < wire.size(); ++i) {
        Bytes& v = m_values[i];
        m_attrs.push_back({wire[i].type, v.empty() ? &m_empty : v.data(), v.size()});
    }
    return CKR_OK;
}

WireAttribute toWire(CK_ATTRIBUTE_TYPE type, const Bytes& value)
{
    WireAttribute a;
    a.type = static_cast<uint32_t>(type);
    AttributeClass cls = attributeClass(type);
    if (cls == AttributeClass::Numeric && value.size() == sizeof(CK_ULONG)) {
        CK_ULONG n;
        std::memcpy(&n, value.data(), sizeof n);
        a.number = static_cast<uint32_t>(std::min<CK_ULONG>(n, kUnavailable));
    } else if (cls == AttributeClass::Boolean && value.size() == sizeof(CK_BBOOL)) {
        a.flag = value[0] != 0;
    } else {
        a.valueLength = static_cast<uint32_t>(value.size());
        a.value = value;
    }
    return a;
}

WireAttribute unavailable(CK_ATTRIBUTE_TYPE type)
{
    WireAttribute a;
    a.type = static_cast<uint32_t>(type);
    a.valueLength = kUnavailable;
    return a;
}

}  // namespace vexa::sim::engine
