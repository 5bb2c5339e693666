#include "wire/Codec.h"

#include <pb_decode.h>
#include <pb_encode.h>

#include "wire/AttributeKinds.h"

namespace vexa::wire {
namespace {

// A field that appears twice keeps its last value, as protobuf does for
// non-repeated fields.
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

bool writeBytes(pb_ostream_t* stream, const pb_field_t* field, void* const* arg)
{
    const auto* bytes = static_cast<const Bytes*>(*arg);
    return pb_encode_tag_for_field(stream, field) && pb_encode_string(stream, bytes->data(), bytes->size());
}

void expectBytes(pb_callback_t& cb, std::optional<Bytes>& target)
{
    cb.funcs.decode = readBytes;
    cb.arg = &target;
}

void sendBytes(pb_callback_t& cb, const std::optional<Bytes>& source)
{
    if (!source) {
        return;
    }
    cb.funcs.encode = writeBytes;
    cb.arg = const_cast<Bytes*>(&*source);
}

template <typename T>
std::optional<T> optionalOf(bool present, T value)
{
    return present ? std::optional<T>(value) : std::nullopt;
}

template <typename T>
void setOptional(bool& has, T& field, const std::optional<T>& value)
{
    has = value.has_value();
    if (has) {
        field = *value;
    }
}

bool readAttributeInto(pb_istream_t* stream, std::vector<WireAttribute>& list, bool member);

bool readMechanismType(pb_istream_t* stream, const pb_field_t*, void** arg)
{
    auto* list = static_cast<std::vector<uint32_t>*>(*arg);
    uint32_t type = 0;
    if (list->size() >= kMaxArrayEntries) {
        PB_RETURN_ERROR(stream, "too many mechanisms");
    }
    if (!pb_decode_varint32(stream, &type)) {
        return false;
    }
    list->push_back(type);
    return true;
}

bool readMember(pb_istream_t* stream, const pb_field_t*, void** arg)
{
    return readAttributeInto(stream, *static_cast<std::vector<WireAttribute>*>(*arg), true);
}

bool refuseNesting(pb_istream_t* stream, const pb_field_t*, void**)
{
    PB_RETURN_ERROR(stream, "array inside an array");
}

bool readAttributeInto(pb_istream_t* stream, std::vector<WireAttribute>& list, bool member)
{
    if (member && list.size() >= kMaxArrayEntries) {
        PB_RETURN_ERROR(stream, "too many members");
    }
    WireAttribute attr;
    RpcAttribute raw = RpcAttribute_init_zero;
    expectBytes(raw.value, attr.value);
    if (member) {
        raw.mechanisms.funcs.decode = refuseNesting;
        raw.members.funcs.decode = refuseNesting;
    } else {
        raw.mechanisms.funcs.decode = readMechanismType;
        raw.mechanisms.arg = &attr.mechanisms;
        raw.members.funcs.decode = readMember;
        raw.members.arg = &attr.members;
    }
    if (!pb_decode(stream, RpcAttribute_fields, &raw)) {
        return false;
    }
    attr.type = raw.type;
    attr.valueLength = optionalOf(raw.has_valueLength, raw.valueLength);
    attr.number = optionalOf(raw.has_number, raw.number);
    attr.flag = optionalOf(raw.has_flag, raw.flag);
    list.push_back(std::move(attr));
    return true;
}

bool readAttribute(pb_istream_t* stream, const pb_field_t*, void** arg)
{
    return readAttributeInto(stream, *static_cast<std::vector<WireAttribute>*>(*arg), false);
}

bool writeMechanismTypes(pb_ostream_t* stream, const pb_field_t* field, void* const* arg)
{
    for (uint32_t type : *static_cast<const std::vector<uint32_t>*>(*arg)) {
        if (!pb_encode_tag_for_field(stream, field) || !pb_encode_varint(stream, type)) {
            return false;
        }
    }
    return true;
}

bool writeAttributes(pb_ostream_t* stream, const pb_field_t* field, void* const* arg)
{
    const auto* list = static_cast<const std::vector<WireAttribute>*>(*arg);
    for (const WireAttribute& attr : *list) {
        RpcAttribute raw = RpcAttribute_init_zero;
        raw.type = attr.type;
        setOptional(raw.has_valueLength, raw.valueLength, attr.valueLength);
        setOptional(raw.has_number, raw.number, attr.number);
        setOptional(raw.has_flag, raw.flag, attr.flag);
        sendBytes(raw.value, attr.value);
        if (!attr.mechanisms.empty()) {
            raw.mechanisms.funcs.encode = writeMechanismTypes;
            raw.mechanisms.arg = const_cast<std::vector<uint32_t>*>(&attr.mechanisms);
        }
        if (!attr.members.empty()) {
            raw.members.funcs.encode = writeAttributes;
            raw.members.arg = const_cast<std::vector<WireAttribute>*>(&attr.members);
        }
        if (!pb_encode_tag_for_field(stream, field) || !pb_encode_submessage(stream, RpcAttribute_fields, &raw)) {
            return false;
        }
    }
    return true;
}

void expectAttributes(pb_callback_t& cb, std::vector<WireAttribute>& target)
{
    cb.funcs.decode = readAttribute;
    cb.arg = &target;
}

void sendAttributes(pb_callback_t& cb, const std::vector<WireAttribute>& source)
{
    if (source.empty()) {
        return;
    }
    cb.funcs.encode = writeAttributes;
    cb.arg = const_cast<std::vector<WireAttribute>*>(&source);
}

// Byte strings of the nested mechanism messages, collected while decoding.
struct MechanismBytes {
    std::optional<Bytes> parameter, sourceData, sharedData, publicData, gcmIv, gcmAad, dataIv, data;

    void expect(RpcMechanism& raw)
    {
        expectBytes(raw.parameter, parameter);
        expectBytes(raw.oaep.sourceData, sourceData);
        expectBytes(raw.ecdh1.sharedData, sharedData);
        expectBytes(raw.ecdh1.publicData, publicData);
        expectBytes(raw.gcm.iv, gcmIv);
        expectBytes(raw.gcm.aad, gcmAad);
        expectBytes(raw.encryptData.iv, dataIv);
        expectBytes(raw.encryptData.data, data);
    }

    WireMechanism take(const RpcMechanism& raw)
    {
        WireMechanism m;
        m.type = raw.type;
        m.parameterLength = optionalOf(raw.has_parameterLength, raw.parameterLength);
        m.parameter = std::move(parameter);
        if (raw.has_oaep) {
            WireOaep o;
            o.hashAlg = raw.oaep.hashAlg;
            o.mgf = raw.oaep.mgf;
            o.source = optionalOf(raw.oaep.has_source, raw.oaep.source);
            o.sourceDataLength = optionalOf(raw.oaep.has_sourceDataLength, raw.oaep.sourceDataLength);
            o.sourceData = std::move(sourceData);
            m.oaep = std::move(o);
        }
        if (raw.has_ecdh1) {
            WireEcdh1 e;
            e.kdf = raw.ecdh1.kdf;
            e.sharedData = std::move(sharedData);
            e.publicData = std::move(publicData);
            m.ecdh1 = std::move(e);
        }
        if (raw.has_gcm) {
            WireGcm g;
            g.iv = std::move(gcmIv);
            g.ivBits = optionalOf(raw.gcm.has_ivBits, raw.gcm.ivBits);
            g.aad = std::move(gcmAad);
            g.tagBits = raw.gcm.tagBits;
            m.gcm = std::move(g);
        }
        if (raw.has_encryptData) {
            m.encryptData = WireEncryptData{std::move(dataIv), std::move(data)};
        }
        return m;
    }
};

void sendMechanism(RpcMechanism& raw, const WireMechanism& m)
{
    raw.type = m.type;
    setOptional(raw.has_parameterLength, raw.parameterLength, m.parameterLength);
    sendBytes(raw.parameter, m.parameter);
    if (m.oaep) {
        raw.has_oaep = true;
        raw.oaep.hashAlg = m.oaep->hashAlg;
        raw.oaep.mgf = m.oaep->mgf;
        setOptional(raw.oaep.has_source, raw.oaep.source, m.oaep->source);
        setOptional(raw.oaep.has_sourceDataLength, raw.oaep.sourceDataLength, m.oaep->sourceDataLength);
        sendBytes(raw.oaep.sourceData, m.oaep->sourceData);
    }
    if (m.ecdh1) {
        raw.has_ecdh1 = true;
        raw.ecdh1.kdf = m.ecdh1->kdf;
        sendBytes(raw.ecdh1.sharedData, m.ecdh1->sharedData);
        sendBytes(raw.ecdh1.publicData, m.ecdh1->publicData);
    }
    if (m.gcm) {
        raw.has_gcm = true;
        sendBytes(raw.gcm.iv, m.gcm->iv);
        setOptional(raw.gcm.has_ivBits, raw.gcm.ivBits, m.gcm->ivBits);
        sendBytes(raw.gcm.aad, m.gcm->aad);
        raw.gcm.tagBits = m.gcm->tagBits;
    }
    if (m.encryptData) {
        raw.has_encryptData = true;
        sendBytes(raw.encryptData.iv, m.encryptData->iv);
        sendBytes(raw.encryptData.data, m.encryptData->data);
    }
}

bool failed(const char** error, const char* why)
{
    if (error != nullptr) {
        *error = why;
    }
    return false;
}

template <typename T>
FieldSet bitIf(bool present, T field)
{
    return present ? bitOf(field) : 0;
}

template <typename Raw>
bool encodeRaw(const pb_msgdesc_t* fields, const Raw& raw, Bytes& out, size_t limit)
{
    out.assign(limit, 0);
    pb_ostream_t stream = pb_ostream_from_buffer(out.data(), out.size());
    if (!pb_encode(&stream, fields, &raw)) {
        out.clear();
        return false;
    }
    out.resize(stream.bytes_written);
    return true;
}

}  // namespace

bool decodeRequest(const Bytes& message, Request& out, const char** error)
{
    if (message.size() > kMaxRequest) {
        return failed(error, "longer than any request");
    }
    Request req;
    MechanismBytes mech;
    RpcRequest raw = RpcRequest_init_zero;
    mech.expect(raw.mechanism);
    expectBytes(raw.data, req.data);
    expectBytes(raw.data2, req.data2);
    expectAttributes(raw.template_, req.templ);
    expectAttributes(raw.template2, req.templ2);
    pb_istream_t stream = pb_istream_from_buffer(message.data(), message.size());
    if (!pb_decode(&stream, RpcRequest_fields, &raw)) {
        return failed(error, PB_GET_ERROR(&stream));
    }
    req.function = raw.function;
    req.session = optionalOf(raw.has_session, raw.session);
    if (raw.has_mechanism) {
        req.mechanism = mech.take(raw.mechanism);
    }
    req.handle = optionalOf(raw.has_handle, raw.handle);
    req.lengthOnly = raw.has_lengthOnly && raw.lengthOnly;
    req.value = optionalOf(raw.has_value, raw.value);
    req.outputLength = optionalOf(raw.has_outputLength, raw.outputLength);
    req.handle2 = optionalOf(raw.has_handle2, raw.handle2);
    req.tokenConfig = optionalOf(raw.has_tokenConfig, raw.tokenConfig);
    out = std::move(req);
    return true;
}

bool encodeResponse(const Response& response, Bytes& out, size_t limit)
{
    RpcResponse raw = RpcResponse_init_zero;
    raw.rv = response.rv;
    setOptional(raw.has_handle, raw.handle, response.handle);
    sendBytes(raw.output, response.output);
    setOptional(raw.has_outputLength, raw.outputLength, response.outputLength);
    setOptional(raw.has_handle2, raw.handle2, response.handle2);
    sendAttributes(raw.attributes, response.attributes);
    setOptional(raw.has_sessionInfo, raw.sessionInfo, response.sessionInfo);
    setOptional(raw.has_tokenInfo, raw.tokenInfo, response.tokenInfo);
    setOptional(raw.has_tokenConfig, raw.tokenConfig, response.tokenConfig);
    return encodeRaw(RpcResponse_fields, raw, out, limit);
}

bool encodeRequest(const Request& request, Bytes& out, size_t limit)
{
    RpcRequest raw = RpcRequest_init_zero;
    raw.function = request.function;
    setOptional(raw.has_session, raw.session, request.session);
    if (request.mechanism) {
        raw.has_mechanism = true;
        sendMechanism(raw.mechanism, *request.mechanism);
    }
    sendBytes(raw.data, request.data);
    sendAttributes(raw.template_, request.templ);
    setOptional(raw.has_handle, raw.handle, request.handle);
    raw.has_lengthOnly = request.lengthOnly;
    raw.lengthOnly = request.lengthOnly;
    setOptional(raw.has_value, raw.value, request.value);
    sendAttributes(raw.template2, request.templ2);
    sendBytes(raw.data2, request.data2);
    setOptional(raw.has_outputLength, raw.outputLength, request.outputLength);
    setOptional(raw.has_handle2, raw.handle2, request.handle2);
    setOptional(raw.has_tokenConfig, raw.tokenConfig, request.tokenConfig);
    return encodeRaw(RpcRequest_fields, raw, out, limit);
}

bool decodeResponse(const Bytes& message, Response& out, const char** error)
{
    Response resp;
    RpcResponse raw = RpcResponse_init_zero;
    expectBytes(raw.output, resp.output);
    expectAttributes(raw.attributes, resp.attributes);
    pb_istream_t stream = pb_istream_from_buffer(message.data(), message.size());
    if (!pb_decode(&stream, RpcResponse_fields, &raw)) {
        return failed(error, PB_GET_ERROR(&stream));
    }
    resp.rv = raw.rv;
    resp.handle = optionalOf(raw.has_handle, raw.handle);
    resp.outputLength = optionalOf(raw.has_outputLength, raw.outputLength);
    resp.handle2 = optionalOf(raw.has_handle2, raw.handle2);
    resp.sessionInfo = optionalOf(raw.has_sessionInfo, raw.sessionInfo);
    resp.tokenInfo = optionalOf(raw.has_tokenInfo, raw.tokenInfo);
    resp.tokenConfig = optionalOf(raw.has_tokenConfig, raw.tokenConfig);
    out = std::move(resp);
    return true;
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

WireAttribute bytesAttribute(uint32_t type, Bytes value)
{
    WireAttribute attribute;
    attribute.type = type;
    attribute.valueLength = static_cast<uint32_t>(value.size());
    attribute.value = std::move(value);
    return attribute;
}

WireAttribute mechanismsAttribute(uint32_t type, std::vector<uint32_t> mechanisms)
{
    WireAttribute attribute;
    attribute.type = type;
    attribute.valueLength = static_cast<uint32_t>(mechanisms.size());
    attribute.mechanisms = std::move(mechanisms);
    return attribute;
}

WireAttribute templateAttribute(uint32_t type, std::vector<WireAttribute> members)
{
    WireAttribute attribute;
    attribute.type = type;
    attribute.valueLength = static_cast<uint32_t>(members.size());
    attribute.members = std::move(members);
    return attribute;
}

FieldSet presentFields(const Request& r)
{
    using F = RequestField;
    return bitIf(r.mechanism.has_value(), F::Mechanism) | bitIf(r.data.has_value(), F::Data) |
           bitIf(!r.templ.empty(), F::Template) | bitIf(r.handle.has_value(), F::Handle) |
           bitIf(r.lengthOnly, F::LengthOnly) | bitIf(r.value.has_value(), F::Value) |
           bitIf(!r.templ2.empty(), F::Template2) | bitIf(r.data2.has_value(), F::Data2) |
           bitIf(r.outputLength.has_value(), F::OutputLength) | bitIf(r.handle2.has_value(), F::Handle2) |
           bitIf(r.tokenConfig.has_value(), F::TokenConfig);
}

FieldSet presentFields(const Response& r)
{
    using F = ReplyField;
    return bitIf(r.handle.has_value(), F::Handle) | bitIf(r.output.has_value(), F::Output) |
           bitIf(r.outputLength.has_value(), F::OutputLength) | bitIf(r.handle2.has_value(), F::Handle2) |
           bitIf(!r.attributes.empty(), F::Attributes) | bitIf(r.sessionInfo.has_value(), F::SessionInfo) |
           bitIf(r.tokenInfo.has_value(), F::TokenInfo) | bitIf(r.tokenConfig.has_value(), F::TokenConfig);
}

}  // namespace vexa::wire
