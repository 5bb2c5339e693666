#pragma once
// Attribute values between the wire and PKCS#11: CK_ULONG types travel in
// `number`, CK_BBOOL types in `flag`, all others as bytes.
#include <p11-kit/pkcs11.h>

#include <memory>
#include <vector>

#include "Wire.h"
#include "wire/AttributeKinds.h"

namespace vexa::sim::engine {

using wire::kUnavailable;

// A CK_ATTRIBUTE array that owns its values, built from wire attributes.
class CTemplate {
public:
    CTemplate() = default;
    CTemplate(const CTemplate&) = delete;
    CTemplate& operator=(const CTemplate&) = delete;

    // CKR_ATTRIBUTE_VALUE_INVALID for a value that cannot be carried: a
    // length that disagrees with the bytes or entries, a value in a field
    // its kind does not travel in, an array inside a template's member.
    // An array attribute becomes the array PKCS#11 has: CK_MECHANISM_TYPE
    // values, or CK_ATTRIBUTE records pointing at values this template owns.
    CK_RV assign(const std::vector<WireAttribute>& wire) { return assign(wire, false); }

    CK_ATTRIBUTE_PTR data() { return m_attrs.empty() ? nullptr : m_attrs.data(); }
    CK_ULONG count() const { return m_attrs.size(); }

private:
    CK_RV assign(const std::vector<WireAttribute>& wire, bool members);
    CK_RV valueOf(const WireAttribute& a, bool member, Bytes& out);

    std::vector<CK_ATTRIBUTE> m_attrs;
    std::vector<Bytes> m_values;
    std::vector<std::unique_ptr<CTemplate>> m_nested;  // by the index of the attribute
    CK_BYTE m_empty = 0;
};

// The wire form of one attribute value read from an object; a template's
// value is not bytes but its members (ObjectCalls reads them one by one).
WireAttribute toWire(CK_ATTRIBUTE_TYPE type, const Bytes& value);
WireAttribute unavailable(CK_ATTRIBUTE_TYPE type);

}  // namespace vexa::sim::engine
