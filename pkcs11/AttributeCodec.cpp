#include "AttributeCodec.h"

#include <pb_decode.h>
#include <pb_encode.h>

#include <algorithm>
#include <cstring>

#include "FieldCallbacks.h"
#include "vexa.pb.h"

namespace vexa::pkcs11 {
namespace {

const uint8_t kFlagBytes[2] = {0, 1};

// Reads no more than the caller's length: a shorter value is taken as the
// widest native integer that fits in it.
uint32_t readNumber(const void* value, CK_ULONG length)
{
    if (length >= sizeof(CK_ULONG)) {
        CK_ULONG number;
        std::memcpy(&number, value, sizeof number);
        return low32(number);
    }
    if (length >= sizeof(uint32_t)) {
        uint32_t number;
        std::memcpy(&number, value, sizeof number);
        return number;
    }
    if (length >= sizeof(uint16_t)) {
        uint16_t number;
        std::memcpy(&number, value, sizeof number);
        return number;
    }
    return *static_cast<const uint8_t*>(value);
}

bool writeAttribute(pb_ostream_t* stream, const pb_field_t* field, const RpcAttribute& message)
{
    return pb_encode_tag_for_field(stream, field) && pb_encode_submessage(stream, RpcAttribute_fields, &message);
}

// A record of the caller's array, copied out: it need not be aligned.
CK_ATTRIBUTE recordAt(const void* records, size_t index)
{
    CK_ATTRIBUTE record;
    std::memcpy(&record, static_cast<const uint8_t*>(records) + index * sizeof(CK_ATTRIBUTE), sizeof record);
    return record;
}

bool writeMechanismTypes(pb_ostream_t* stream, const pb_field_t* field, void* const* arg)
{
    const auto* attribute = static_cast<const CK_ATTRIBUTE*>(*arg);
    const size_t count = attribute->ulValueLen / sizeof(CK_MECHANISM_TYPE);
    for (size_t i = 0; i < count; ++i) {
        CK_MECHANISM_TYPE type;
        std::memcpy(&type, static_cast<const uint8_t*>(attribute->pValue) + i * sizeof type, sizeof type);
        if (!pb_encode_tag_for_field(stream, field) || !pb_encode_varint(stream, low32(type))) {
            return false;
        }
    }
    return true;
}

bool writeMembers(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);

// One attribute of a template as it travels. `lengthOnly` tells whether the
// caller's length is to become 0 once it is written.
RpcAttribute messageOf(CK_ATTRIBUTE& attribute, ByteSpan& value, bool& lengthOnly)
{
    RpcAttribute message = RpcAttribute_init_zero;
    message.type = low32(attribute.type);
    value = ByteSpan{attribute.pValue, low32(attribute.ulValueLen)};
    lengthOnly = false;
    if (attribute.pValue != nullptr && attribute.ulValueLen != 0) {
        const AttributeKind kind = wire::attributeKind(attribute.type);
        switch (kind) {
        case AttributeKind::Numeric:
            message.has_number = true;
            message.number = readNumber(attribute.pValue, attribute.ulValueLen);
            break;
        case AttributeKind::Boolean:
            message.has_flag = true;
            message.flag = *static_cast<const uint8_t*>(attribute.pValue) != 0;
            break;
        case AttributeKind::Bytes:
            message.has_valueLength = true;
            message.valueLength = value.length;
            setBytes(message.value, value);
            break;
        case AttributeKind::MechanismList:
        case AttributeKind::Template:
            message.has_valueLength = true;
            message.valueLength = static_cast<uint32_t>(attribute.ulValueLen / wire::arrayEntrySize(kind));
            pb_callback_t& entries = kind == AttributeKind::Template ? message.members : message.mechanisms;
            entries.funcs.encode = kind == AttributeKind::Template ? writeMembers : writeMechanismTypes;
            entries.arg = &attribute;
            break;
        }
    } else {
        message.has_valueLength = true;
        message.valueLength = value.length;
        if (attribute.pValue == nullptr && attribute.ulValueLen != 0) {
            value = ByteSpan{nullptr, 0};
            setBytes(message.value, value);
            lengthOnly = true;
        }
    }
    return message;
}

// The members of a template, from the caller's records; never changes them.
bool writeMembers(pb_ostream_t* stream, const pb_field_t* field, void* const* arg)
{
    const auto* attribute = static_cast<const CK_ATTRIBUTE*>(*arg);
    const size_t count = attribute->ulValueLen / sizeof(CK_ATTRIBUTE);
    for (size_t i = 0; i < count; ++i) {
        CK_ATTRIBUTE member = recordAt(attribute->pValue, i);
        ByteSpan value{nullptr, 0};
        bool lengthOnly = false;
        const RpcAttribute message = messageOf(member, value, lengthOnly);
        if (!writeAttribute(stream, field, message)) {
            return false;
        }
    }
    return true;
}

bool writeTemplate(pb_ostream_t* stream, const pb_field_t* field, void* const* arg)
{
    const auto* list = static_cast<const AttributeTemplate*>(*arg);
    if (list->attributes == nullptr) {
        if (list->count == 0) {
            return true;
        }
        PB_RETURN_ERROR(stream, "null template with a count");
    }
    for (CK_ULONG i = 0; i < list->count; ++i) {
        CK_ATTRIBUTE& attribute = list->attributes[i];
        ByteSpan value{nullptr, 0};
        bool lengthOnly = false;
        const RpcAttribute message = messageOf(attribute, value, lengthOnly);
        if (!writeAttribute(stream, field, message)) {
            return false;
        }
        if (lengthOnly) {
            attribute.ulValueLen = 0;
        }
    }
    return true;
}

bool writeTypes(pb_ostream_t* stream, const pb_field_t* field, void* const* arg)
{
    const auto* list = static_cast<const AttributeTemplate*>(*arg);
    if (list->attributes == nullptr && list->count != 0) {
        PB_RETURN_ERROR(stream, "null template with a count");
    }
    for (CK_ULONG i = 0; i < list->count; ++i) {
        RpcAttribute message = RpcAttribute_init_zero;
        message.type = low32(list->attributes[i].type);
        if (!writeAttribute(stream, field, message)) {
            return false;
        }
    }
    return true;
}

bool readValue(pb_istream_t* stream, const pb_field_t*, void** arg)
{
    auto* value = static_cast<std::vector<uint8_t>*>(*arg);
    value->resize(stream->bytes_left);
    return pb_read(stream, value->data(), value->size());
}

bool readMechanismType(pb_istream_t* stream, const pb_field_t*, void** arg)
{
    auto* list = static_cast<std::vector<uint32_t>*>(*arg);
    uint32_t type = 0;
    if (list->size() >= wire::kMaxArrayEntries) {
        PB_RETURN_ERROR(stream, "too many mechanisms");
    }
    if (!pb_decode_varint32(stream, &type)) {
        return false;
    }
    list->push_back(type);
    return true;
}

bool refuseNesting(pb_istream_t* stream, const pb_field_t*, void**) { PB_RETURN_ERROR(stream, "array in an array"); }

bool decodeEntry(pb_istream_t* stream, ReceivedAttribute& entry, bool member);

bool readMember(pb_istream_t* stream, const pb_field_t*, void** arg)
{
    auto* members = static_cast<std::vector<ReceivedAttribute>*>(*arg);
    if (members->size() >= wire::kMaxArrayEntries) {
        PB_RETURN_ERROR(stream, "too many members");
    }
    ReceivedAttribute member;
    if (!decodeEntry(stream, member, true)) {
        return false;
    }
    members->push_back(std::move(member));
    return true;
}

// A received number makes a numeric entry, else a flag a boolean one; an
// array type without value bytes makes an array entry (never inside
// another), anything else a byte string.
bool decodeEntry(pb_istream_t* stream, ReceivedAttribute& entry, bool member)
{
    RpcAttribute message = RpcAttribute_init_zero;
    message.value.funcs.decode = readValue;
    message.value.arg = &entry.value;
    if (member) {
        message.mechanisms.funcs.decode = refuseNesting;
        message.members.funcs.decode = refuseNesting;
    } else {
        message.mechanisms.funcs.decode = readMechanismType;
        message.mechanisms.arg = &entry.mechanisms;
        message.members.funcs.decode = readMember;
        message.members.arg = &entry.members;
    }
    if (!pb_decode(stream, RpcAttribute_fields, &message)) {
        return false;
    }
    entry.type = message.type;
    const AttributeKind kind = wire::attributeKind(entry.type);
    if (message.has_number) {
        entry.form = AttributeKind::Numeric;
        entry.number = message.number;
        entry.length = sizeof(uint32_t);
        entry.value.clear();
    } else if (message.has_flag) {
        entry.form = AttributeKind::Boolean;
        entry.flag = message.flag;
        entry.length = 1;
        entry.value.clear();
    } else if (!member && wire::isArrayKind(kind) && entry.value.empty()) {
        entry.form = kind;
        entry.length = message.has_valueLength ? message.valueLength : 0;
    } else {
        entry.length = message.has_valueLength ? message.valueLength : 0;
    }
    return true;
}

bool readAttribute(pb_istream_t* stream, const pb_field_t*, void** arg)
{
    auto* list = static_cast<CReceivedAttributes*>(*arg);
    if (list->size() >= kMaxReceivedAttributes) {
        PB_RETURN_ERROR(stream, "too many attributes");
    }
    ReceivedAttribute entry;
    if (!decodeEntry(stream, entry, false)) {
        return false;
    }
    return list->add(std::move(entry));
}

// An array the caller gives: whole entries, not too many, members that are
// no arrays and whose lengths fit.
bool arrayFits(const CK_ATTRIBUTE& attribute)
{
    const AttributeKind kind = wire::attributeKind(attribute.type);
    if (!wire::isArrayKind(kind) || attribute.pValue == nullptr || attribute.ulValueLen == 0) {
        return true;
    }
    const size_t size = wire::arrayEntrySize(kind);
    const size_t count = attribute.ulValueLen / size;
    if (attribute.ulValueLen % size != 0 || count > wire::kMaxArrayEntries) {
        return false;
    }
    if (kind == AttributeKind::MechanismList) {
        return true;
    }
    for (size_t i = 0; i < count; ++i) {
        const CK_ATTRIBUTE member = recordAt(attribute.pValue, i);
        if (wire::isArrayKind(wire::attributeKind(member.type)) || !fitsLengthField(member.ulValueLen) ||
            (member.pValue == nullptr && member.ulValueLen != 0)) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool isArrayAttribute(CK_ATTRIBUTE_TYPE type) { return (type & CKF_ARRAY_ATTRIBUTE) != 0; }

bool templateFits(const CK_ATTRIBUTE* attributes, CK_ULONG count)
{
    return attributes == nullptr || std::all_of(attributes, attributes + count, [](const CK_ATTRIBUTE& attribute) {
               return fitsLengthField(attribute.ulValueLen) && arrayFits(attribute);
           });
}

void setTemplate(pb_callback_t& slot, AttributeTemplate& attributes)
{
    slot.funcs.encode = writeTemplate;
    slot.arg = &attributes;
}

void setTypeOnlyTemplate(pb_callback_t& slot, AttributeTemplate& attributes)
{
    slot.funcs.encode = writeTypes;
    slot.arg = &attributes;
}

const uint8_t* ReceivedAttribute::bytes() const
{
    switch (form) {
    case AttributeKind::Numeric:
        return reinterpret_cast<const uint8_t*>(&number);
    case AttributeKind::Boolean:
        return &kFlagBytes[flag ? 1 : 0];
    case AttributeKind::Bytes:
    case AttributeKind::MechanismList:
    case AttributeKind::Template:
        break;
    }
    return value.data();
}

size_t ReceivedAttribute::available() const
{
    switch (form) {
    case AttributeKind::Numeric:
        return sizeof number;
    case AttributeKind::Boolean:
        return 1;
    case AttributeKind::MechanismList:
    case AttributeKind::Template:
        return entries();
    case AttributeKind::Bytes:
        break;
    }
    return value.size();
}

size_t ReceivedAttribute::entries() const
{
    return form == AttributeKind::MechanismList ? mechanisms.size()
           : form == AttributeKind::Template    ? members.size()
                                                : 0;
}

const ReceivedAttribute* CReceivedAttributes::find(CK_ATTRIBUTE_TYPE type) const
{
    const auto found = std::find_if(m_entries.begin(), m_entries.end(),
                                    [type](const ReceivedAttribute& entry) { return entry.type == type; });
    return found == m_entries.end() ? nullptr : &*found;
}

bool CReceivedAttributes::add(ReceivedAttribute entry)
{
    if (m_entries.size() >= kMaxReceivedAttributes) {
        return false;
    }
    m_entries.push_back(std::move(entry));
    return true;
}

void setAttributeReader(pb_callback_t& slot, CReceivedAttributes& list)
{
    slot.funcs.decode = readAttribute;
    slot.arg = &list;
}

}  // namespace vexa::pkcs11
