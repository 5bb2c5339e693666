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

bool lengthCounts(const WireAttribute& a, size_t entries) { return !a.valueLength || *a.valueLength == entries; }

bool carriesArray(const WireAttribute& a) { return !a.mechanisms.empty() || !a.members.empty(); }

CK_RV scalarValueOf(const WireAttribute& a, Bytes& out)
{
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

bool arrayOnly(const WireAttribute& a) { return !a.number && !a.flag && !a.value; }

}  // namespace

CK_RV CTemplate::valueOf(const WireAttribute& a, bool member, Bytes& out)
{
    switch (wire::attributeKind(a.type)) {
    case wire::AttributeKind::MechanismList:
        if (member || !arrayOnly(a) || !a.members.empty() || !lengthCounts(a, a.mechanisms.size())) {
            return CKR_ATTRIBUTE_VALUE_INVALID;
        }
        out.clear();
        for (uint32_t mechanism : a.mechanisms) {
            const Bytes entry = bytesOf<CK_MECHANISM_TYPE>(mechanism);
            out.insert(out.end(), entry.begin(), entry.end());
        }
        return CKR_OK;
    case wire::AttributeKind::Template:
        if (member || !arrayOnly(a) || !a.mechanisms.empty() || !lengthCounts(a, a.members.size())) {
            return CKR_ATTRIBUTE_VALUE_INVALID;
        }
        out.clear();
        return CKR_OK;  // the members are assigned by the caller
    case wire::AttributeKind::Bytes:
    case wire::AttributeKind::Numeric:
    case wire::AttributeKind::Boolean:
        break;
    }
    return carriesArray(a) ? CKR_ATTRIBUTE_VALUE_INVALID : scalarValueOf(a, out);
}

CK_RV CTemplate::assign(const std::vector<WireAttribute>& wire, bool members)
{
    m_attrs.clear();
    m_nested.clear();
    m_nested.resize(wire.size());
    m_values.assign(wire.size(), Bytes());
    for (size_t i = 0; i < wire.size(); ++i) {
        if (CK_RV rv = valueOf(wire[i], members, m_values[i]); rv != CKR_OK) {
            return rv;
        }
        if (wire::attributeKind(wire[i].type) == wire::AttributeKind::Template) {
            m_nested[i] = std::make_unique<CTemplate>();
            if (CK_RV rv = m_nested[i]->assign(wire[i].members, true); rv != CKR_OK) {
                return rv;
            }
        }
    }
    // Pointers are taken only once m_values no longer changes size. An empty
    // value still gets a valid address: PKCS#11 treats a null one as "no value".
    for (size_t i = 0; i < wire.size(); ++i) {
        Bytes& v = m_values[i];
        if (m_nested[i] && m_nested[i]->count() != 0) {
            m_attrs.push_back({wire[i].type, m_nested[i]->data(), m_nested[i]->count() * sizeof(CK_ATTRIBUTE)});
        } else {
            m_attrs.push_back({wire[i].type, v.empty() ? &m_empty : v.data(), v.size()});
        }
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
    } else if (kind == wire::AttributeKind::MechanismList && value.size() % sizeof(CK_MECHANISM_TYPE) == 0) {
        std::vector<uint32_t> mechanisms;
        for (size_t off = 0; off < value.size(); off += sizeof(CK_MECHANISM_TYPE)) {
            CK_MECHANISM_TYPE m;
            std::memcpy(&m, value.data() + off, sizeof m);
            mechanisms.push_back(static_cast<uint32_t>(m));
        }
        a = wire::mechanismsAttribute(a.type, std::move(mechanisms));
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
