#include "Attributes.h"

#include <algorithm>
#include <cstring>

namespace vexa::sim::engine {
namespace {

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
    const wire::AttributeKind kind = wire::attributeKind(type);
    if (kind == wire::AttributeKind::Numeric && value.size() == sizeof(CK_ULONG)) {
        CK_ULONG n;
        std::memcpy(&n, value.data(), sizeof n);
        a.number = static_cast<uint32_t>(std::min<CK_ULONG>(n, kUnavailable));
    } else if (kind == wire::AttributeKind::Boolean && value.size() == sizeof(CK_BBOOL)) {
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
