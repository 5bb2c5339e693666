#pragma once
#include <p11-kit/pkcs11.h>
#include <pb.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "wire/AttributeKinds.h"

namespace vexa::pkcs11 {

// How an attribute's value travels: wire::attributeKind. Numbers go in
// `number`, booleans in `flag`, everything else as `valueLength` and
// `value` bytes.
using wire::AttributeKind;

// Array attributes travel entry by entry, each by its real type:
// CKA_ALLOWED_MECHANISMS as CK_MECHANISM_TYPE values, the CKA_*_TEMPLATE
// attributes (and any other type with CKF_ARRAY_ATTRIBUTE) as their member
// attributes. The addresses inside CK_ATTRIBUTE records never travel.
bool isArrayAttribute(CK_ATTRIBUTE_TYPE type);

// The token never sends more attributes than this in one reply.
constexpr size_t kMaxReceivedAttributes = 40;

// The caller's attribute list, read while the request is encoded.
struct AttributeTemplate {
    CK_ATTRIBUTE_PTR attributes = nullptr;
    CK_ULONG count = 0;
};

// False when an attribute's length does not fit its field (fitsLengthField),
// or an array attribute is not an array its type holds: a length that is
// not a whole number of entries, more than wire::kMaxArrayEntries entries, a
// null record list, a member that is itself an array or claims bytes behind
// a null pointer. Every function that sends a template refuses it with
// CKR_ARGUMENTS_BAD first. A null list has nothing to check.
bool templateFits(const CK_ATTRIBUTE* attributes, CK_ULONG count);

// Template writer, for `template` and `template2`: each attribute with its
// value in the field of its class. An attribute without a value sends only
// its length; the caller's length of such an attribute becomes 0.
void setTemplate(pb_callback_t& slot, AttributeTemplate& attributes);
// Type-only writer: each attribute's type alone (C_GetAttributeValue).
void setTypeOnlyTemplate(pb_callback_t& slot, AttributeTemplate& attributes);

// One attribute of a reply, in the form the token sent it.
struct ReceivedAttribute {
    CK_ATTRIBUTE_TYPE type = 0;
    AttributeKind form = AttributeKind::Bytes;
    uint32_t number = 0;
    bool flag = false;
    // Declared length: 4 for a number, 1 for a flag, the number of entries
    // for an array, else the received valueLength (0 when absent); may claim
    // more than `value` (or the entries) hold.
    uint32_t length = 0;
    std::vector<uint8_t> value;  // bytes actually received
    // The entries of an array: mechanism types, or the members of a
    // template (which are never arrays themselves).
    std::vector<uint32_t> mechanisms;
    std::vector<ReceivedAttribute> members;
    // The number of entries received.
    size_t entries() const;
    // The value's bytes as received: the number in memory order, the flag
    // as one byte 1 or 0, or the value bytes.
    const uint8_t* bytes() const;
    size_t available() const;
};

// Attribute reader result: the reply's attributes in order, at most
// kMaxReceivedAttributes of them (one more makes decoding fail).
class CReceivedAttributes {
public:
    CReceivedAttributes() { m_entries.reserve(kMaxReceivedAttributes); }
    // The first entry of this type, or null.
    const ReceivedAttribute* find(CK_ATTRIBUTE_TYPE type) const;
    size_t size() const { return m_entries.size(); }
    bool add(ReceivedAttribute entry);

private:
    std::vector<ReceivedAttribute> m_entries;
};

void setAttributeReader(pb_callback_t& slot, CReceivedAttributes& list);

}  // namespace vexa::pkcs11
