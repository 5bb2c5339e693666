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
        RpcAttribute message = RpcAttribute_init_zero;
        message.type = low32(attribute.type);
        ByteSpan value{attribute.pValue, low32(attribute.ulValueLen)};
        bool lengthOnly = false;
        if (attribute.pValue != nullptr && attribute.ulValueLen != 0) {
            switch (wire::attributeKind(attribute.type)) {
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

bool readAttribute(pb_istream_t* stream, const pb_field_t*, void** arg)
{
    auto* list = static_cast<ReceivedAttributes*>(*arg);
    if (list->size() >= kMaxReceivedAttributes) {
        PB_RETURN_ERROR(stream, "too many attributes");
    }
    ReceivedAttribute entry;
    RpcAttribute message = RpcAttribute_init_zero;
    message.value.funcs.decode = readValue;
    message.value.arg = &entry.value;
    if (!pb_decode(stream, RpcAttribute_fields, &message)) {
        return false;
    }
    entry.type = message.type;
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
    } else {
        entry.length = message.has_valueLength ? message.valueLength : 0;
    }
    return list->add(std::move(entry));
}

}  // namespace

bool isArrayAttribute(CK_ATTRIBUTE_TYPE type) { return (type & CKF_ARRAY_ATTRIBUTE) != 0; }

bool templateFits(const CK_ATTRIBUTE* attributes, CK_ULONG count)
{
    return attributes == nullptr || std::all_of(attributes, attributes + count, [](const CK_ATTRIBUTE& attribute) {
               return fitsLengthField(attribute.ulValueLen);
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
    case AttributeKind::Bytes:
        break;
    }
    return value.size();
}

const ReceivedAttribute* ReceivedAttributes::find(CK_ATTRIBUTE_TYPE type) const
{
    const auto found = std::find_if(m_entries.begin(), m_entries.end(),
                                    [type](const ReceivedAttribute& entry) { return entry.type == type; });
    return found == m_entries.end() ? nullptr : &*found;
}

bool ReceivedAttributes::add(ReceivedAttribute entry)
{
    if (m_entries.size() >= kMaxReceivedAttributes) {
        return false;
    }
    m_entries.push_back(std::move(entry));
    return true;
}

void setAttributeReader(pb_callback_t& slot, ReceivedAttributes& list)
{
    slot.funcs.decode = readAttribute;
    slot.arg = &list;
}

}  // namespace vexa::pkcs11
