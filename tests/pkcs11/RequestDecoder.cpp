#include "RequestDecoder.h"

#include <pb_decode.h>
#include <pb_encode.h>

#include <cstring>
#include <stdexcept>

#include "vexa.pb.h"

namespace vexa::test {
namespace {

// Decoding: every callback field lands in the plain struct.

bool readBytes(pb_istream_t* stream, const pb_field_t*, void** arg)
{
    auto* target = static_cast<std::optional<Bytes>*>(*arg);
    Bytes bytes(stream->bytes_left);
    if (!pb_read(stream, bytes.data(), bytes.size())) {
        return false;
    }
    *target = std::move(bytes);
    return true;
}

void collectBytes(pb_callback_t& slot, std::optional<Bytes>& target)
{
    slot.funcs.decode = readBytes;
    slot.arg = &target;
}

bool readAttribute(pb_istream_t* stream, const pb_field_t*, void** arg)
{
    auto* list = static_cast<std::vector<WireAttribute>*>(*arg);
    WireAttribute attribute;
    RpcAttribute message = RpcAttribute_init_zero;
    collectBytes(message.value, attribute.value);
    if (!pb_decode(stream, RpcAttribute_fields, &message)) {
        return false;
    }
    attribute.type = message.type;
    if (message.has_valueLength) {
        attribute.valueLength = message.valueLength;
    }
    if (message.has_number) {
        attribute.number = message.number;
    }
    if (message.has_flag) {
        attribute.flag = message.flag;
    }
    list->push_back(std::move(attribute));
    return true;
}

void collectAttributes(pb_callback_t& slot, std::vector<WireAttribute>& list)
{
    slot.funcs.decode = readAttribute;
    slot.arg = &list;
}

template <typename T>
std::optional<T> present(bool has, T value)
{
    return has ? std::optional<T>(value) : std::nullopt;
}

WireTokenConfig toWire(const RpcTokenConfig& config)
{
    return {present(config.has_config1, config.config1), present(config.has_config2, config.config2),
            present(config.has_config3, config.config3), present(config.has_config4, config.config4)};
}

WireMechanism toWire(const RpcMechanism& message, WireMechanism collected, bool hasOaep, bool hasEcdh1)
{
    collected.type = message.type;
    collected.parameterLength = present(message.has_parameterLength, message.parameterLength);
    if (hasOaep) {
        collected.oaep->hashAlg = message.oaep.hashAlg;
        collected.oaep->mgf = message.oaep.mgf;
        collected.oaep->source = present(message.oaep.has_source, message.oaep.source);
        collected.oaep->sourceDataLength = present(message.oaep.has_sourceDataLength, message.oaep.sourceDataLength);
    } else {
        collected.oaep.reset();
    }
    if (hasEcdh1) {
        collected.ecdh1->kdf = message.ecdh1.kdf;
    } else {
        collected.ecdh1.reset();
    }
    return collected;
}

// Encoding: the plain struct's byte strings and lists through callbacks.

bool writeBytes(pb_ostream_t* stream, const pb_field_t* field, void* const* arg)
{
    const auto* bytes = static_cast<const Bytes*>(*arg);
    return pb_encode_tag_for_field(stream, field) && pb_encode_string(stream, bytes->data(), bytes->size());
}

void sendBytes(pb_callback_t& slot, const std::optional<Bytes>& bytes)
{
    if (bytes) {
        slot.funcs.encode = writeBytes;
        slot.arg = const_cast<Bytes*>(&*bytes);
    }
}

bool writeAttributes(pb_ostream_t* stream, const pb_field_t* field, void* const* arg)
{
    for (const WireAttribute& attribute : *static_cast<const std::vector<WireAttribute>*>(*arg)) {
        RpcAttribute message = RpcAttribute_init_zero;
        message.type = attribute.type;
        message.has_valueLength = attribute.valueLength.has_value();
        message.valueLength = attribute.valueLength.value_or(0);
        sendBytes(message.value, attribute.value);
        message.has_number = attribute.number.has_value();
        message.number = attribute.number.value_or(0);
        message.has_flag = attribute.flag.has_value();
        message.flag = attribute.flag.value_or(false);
        if (!pb_encode_tag_for_field(stream, field) || !pb_encode_submessage(stream, RpcAttribute_fields, &message)) {
            return false;
        }
    }
    return true;
}

template <typename Array>
void copyBounded(Array& target, const std::string& text, const char* name)
{
    if (text.size() > sizeof(target.bytes)) {
        throw std::runtime_error(std::string("token info ") + name + " longer than its bound");
    }
    target.size = static_cast<pb_size_t>(text.size());
    std::memcpy(target.bytes, text.data(), text.size());
}

RpcTokenInfo toMessage(const WireTokenInfo& info)
{
    RpcTokenInfo message = RpcTokenInfo_init_zero;
    copyBounded(message.label, info.label, "label");
    copyBounded(message.manufacturerID, info.manufacturerID, "manufacturerID");
    copyBounded(message.model, info.model, "model");
    copyBounded(message.serialNumber, info.serialNumber, "serialNumber");
    copyBounded(message.utcTime, info.utcTime, "utcTime");
    message.flags = info.flags;
    message.maxSessionCount = info.maxSessionCount;
    message.sessionCount = info.sessionCount;
    message.maxRwSessionCount = info.maxRwSessionCount;
    message.rwSessionCount = info.rwSessionCount;
    message.maxPinLen = info.maxPinLen;
    message.minPinLen = info.minPinLen;
    message.totalPublicMemory = info.totalPublicMemory;
    message.freePublicMemory = info.freePublicMemory;
    message.totalPrivateMemory = info.totalPrivateMemory;
    message.freePrivateMemory = info.freePrivateMemory;
    message.hardwareVersionMajor = info.hardwareVersionMajor;
    message.hardwareVersionMinor = info.hardwareVersionMinor;
    message.firmwareVersionMajor = info.firmwareVersionMajor;
    message.firmwareVersionMinor = info.firmwareVersionMinor;
    return message;
}

RpcTokenConfig toMessage(const WireTokenConfig& config)
{
    RpcTokenConfig message = RpcTokenConfig_init_zero;
    message.has_config1 = config.config1.has_value();
    message.config1 = config.config1.value_or(0);
    message.has_config2 = config.config2.has_value();
    message.config2 = config.config2.value_or(0);
    message.has_config3 = config.config3.has_value();
    message.config3 = config.config3.value_or(0);
    message.has_config4 = config.config4.has_value();
    message.config4 = config.config4.value_or(0);
    return message;
}

}  // namespace

DecodedRequest decodeRequest(const Bytes& bytes)
{
    DecodedRequest decoded;
    WireMechanism mechanism;
    mechanism.oaep.emplace();
    mechanism.ecdh1.emplace();

    RpcRequest message = RpcRequest_init_zero;
    collectBytes(message.mechanism.parameter, mechanism.parameter);
    collectBytes(message.mechanism.oaep.sourceData, mechanism.oaep->sourceData);
    collectBytes(message.mechanism.ecdh1.sharedData, mechanism.ecdh1->sharedData);
    collectBytes(message.mechanism.ecdh1.publicData, mechanism.ecdh1->publicData);
    collectBytes(message.data, decoded.data);
    collectBytes(message.data2, decoded.data2);
    collectAttributes(message.template_, decoded.templ);
    collectAttributes(message.template2, decoded.template2);

    pb_istream_t stream = pb_istream_from_buffer(bytes.data(), bytes.size());
    if (!pb_decode(&stream, RpcRequest_fields, &message)) {
        throw std::runtime_error(std::string("request does not decode: ") + PB_GET_ERROR(&stream));
    }
    decoded.function = message.function;
    decoded.session = present(message.has_session, message.session);
    if (message.has_mechanism) {
        decoded.mechanism =
            toWire(message.mechanism, std::move(mechanism), message.mechanism.has_oaep, message.mechanism.has_ecdh1);
    }
    decoded.handle = present(message.has_handle, message.handle);
    decoded.lengthOnly = present(message.has_lengthOnly, message.lengthOnly);
    decoded.value = present(message.has_value, message.value);
    decoded.outputLength = present(message.has_outputLength, message.outputLength);
    decoded.handle2 = present(message.has_handle2, message.handle2);
    if (message.has_tokenConfig) {
        decoded.tokenConfig = toWire(message.tokenConfig);
    }
    return decoded;
}

Bytes encodeResponse(const ScriptedResponse& response)
{
    RpcResponse message = RpcResponse_init_zero;
    message.rv = response.rv;
    message.has_handle = response.handle.has_value();
    message.handle = response.handle.value_or(0);
    sendBytes(message.output, response.output);
    message.has_outputLength = response.outputLength.has_value();
    message.outputLength = response.outputLength.value_or(0);
    message.has_handle2 = response.handle2.has_value();
    message.handle2 = response.handle2.value_or(0);
    if (!response.attributes.empty()) {
        message.attributes.funcs.encode = writeAttributes;
        message.attributes.arg = const_cast<std::vector<WireAttribute>*>(&response.attributes);
    }
    if (response.sessionInfo) {
        message.has_sessionInfo = true;
        message.sessionInfo = {response.sessionInfo->state, response.sessionInfo->flags,
                               response.sessionInfo->deviceError};
    }
    if (response.tokenInfo) {
        message.has_tokenInfo = true;
        message.tokenInfo = toMessage(*response.tokenInfo);
    }
    if (response.tokenConfig) {
        message.has_tokenConfig = true;
        message.tokenConfig = toMessage(*response.tokenConfig);
    }

    size_t size = 0;
    if (!pb_get_encoded_size(&size, RpcResponse_fields, &message)) {
        throw std::runtime_error("response does not encode");
    }
    Bytes bytes(size);
    pb_ostream_t stream = pb_ostream_from_buffer(bytes.data(), bytes.size());
    if (!pb_encode(&stream, RpcResponse_fields, &message)) {
        throw std::runtime_error(std::string("response does not encode: ") + PB_GET_ERROR(&stream));
    }
    return bytes;
}

std::function<Bytes(const Bytes&)> respondWith(std::function<ScriptedResponse(const DecodedRequest&)> script)
{
    return
        [script = std::move(script)](const Bytes& request) { return encodeResponse(script(decodeRequest(request))); };
}

std::vector<DecodedRequest> decodeAll(const std::vector<Bytes>& requests)
{
    std::vector<DecodedRequest> decoded;
    for (const Bytes& request : requests) {
        decoded.push_back(decodeRequest(request));
    }
    return decoded;
}

WireAttribute numberAttribute(uint32_t type, uint32_t number)
{
    WireAttribute attribute;
    attribute.type = type;
    attribute.number = number;
    return attribute;
}

WireAttribute flagAttribute(uint32_t type, bool flag)
{
    WireAttribute attribute;
    attribute.type = type;
    attribute.flag = flag;
    return attribute;
}

WireAttribute bytesAttribute(uint32_t type, const Bytes& value)
{
    WireAttribute attribute;
    attribute.type = type;
    attribute.valueLength = static_cast<uint32_t>(value.size());
    attribute.value = value;
    return attribute;
}

}  // namespace vexa::test
