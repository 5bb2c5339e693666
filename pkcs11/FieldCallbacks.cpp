#include "FieldCallbacks.h"

#include <pb_decode.h>
#include <pb_encode.h>

namespace vexa::pkcs11 {
namespace {

bool encodeString(pb_ostream_t* stream, const pb_field_t* field, const void* data, size_t length)
{
    if (data == nullptr && length != 0) {
        PB_RETURN_ERROR(stream, "null bytes with a length");
    }
    return pb_encode_tag_for_field(stream, field) &&
           pb_encode_string(stream, static_cast<const pb_byte_t*>(data), length);
}

}  // namespace

bool writeBytes(pb_ostream_t* stream, const pb_field_t* field, void* const* arg)
{
    if (arg == nullptr || *arg == nullptr) {
        PB_RETURN_ERROR(stream, "missing bytes argument");
    }
    const auto* span = static_cast<const ByteSpan*>(*arg);
    return encodeString(stream, field, span->data, span->length);
}

bool writeMechanismParameter(pb_ostream_t* stream, const pb_field_t* field, void* const* arg)
{
    if (arg == nullptr || *arg == nullptr) {
        PB_RETURN_ERROR(stream, "missing mechanism argument");
    }
    const auto* mechanism = static_cast<const CK_MECHANISM*>(*arg);
    // A null parameter is sent empty whatever its length claims: the length
    // cannot be trusted to describe memory that is not there.
    if (mechanism->pParameter == nullptr) {
        return encodeString(stream, field, nullptr, 0);
    }
    return encodeString(stream, field, mechanism->pParameter, low32(mechanism->ulParameterLen));
}

bool readOutput(pb_istream_t* stream, const pb_field_t* field, void** arg)
{
    (void)field;
    if (arg == nullptr || *arg == nullptr) {
        PB_RETURN_ERROR(stream, "missing output argument");
    }
    auto* output = static_cast<OutputBuffer*>(*arg);
    const size_t length = stream->bytes_left;
    output->seen = true;
    if (output->buffer == nullptr) {
        output->received = static_cast<uint32_t>(length);
        return pb_read(stream, nullptr, length);
    }
    if (length > output->capacity) {
        PB_RETURN_ERROR(stream, "output larger than its buffer");
    }
    if (!pb_read(stream, output->buffer, length)) {
        return false;
    }
    output->received = static_cast<uint32_t>(length);
    return true;
}

bool readGrowingOutput(pb_istream_t* stream, const pb_field_t* field, void** arg)
{
    (void)field;
    if (arg == nullptr || *arg == nullptr) {
        PB_RETURN_ERROR(stream, "missing output argument");
    }
    auto* output = static_cast<GrowingOutput*>(*arg);
    const size_t length = stream->bytes_left;
    if (length > kGrowingOutputMax) {
        PB_RETURN_ERROR(stream, "output too large");
    }
    output->bytes.assign(length, 0);
    return pb_read(stream, output->bytes.data(), length);
}

CK_RV inputSpan(const void* data, CK_ULONG length, ByteSpan& span)
{
    if (!fitsLengthField(length)) {
        return CKR_DATA_LEN_RANGE;
    }
    span = ByteSpan{data, static_cast<uint32_t>(length)};
    return CKR_OK;
}

void setBytes(pb_callback_t& slot, ByteSpan& span)
{
    slot.funcs.encode = writeBytes;
    slot.arg = &span;
}

void setMechanismParameter(pb_callback_t& slot, const CK_MECHANISM& mechanism)
{
    slot.funcs.encode = writeMechanismParameter;
    slot.arg = const_cast<CK_MECHANISM*>(&mechanism);
}

void setOutput(pb_callback_t& slot, OutputBuffer& output)
{
    slot.funcs.decode = readOutput;
    slot.arg = &output;
}

void setGrowingOutput(pb_callback_t& slot, GrowingOutput& output)
{
    slot.funcs.decode = readGrowingOutput;
    slot.arg = &output;
}

}  // namespace vexa::pkcs11
