#include "TokenClient.h"

#include <cstdio>
#include <stdexcept>

#include "wire/CallTable.h"

namespace vexa::test::engine {

namespace {

constexpr size_t kMessageLimit = 2048;
const Bytes kP256Oid = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};

}  // namespace

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes fromHex(const std::string& hex)
{
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

std::string toHex(const Bytes& bytes)
{
    std::string out;
    char buf[3];
    for (uint8_t b : bytes) {
        std::snprintf(buf, sizeof buf, "%02x", b);
        out += buf;
    }
    return out;
}

WireAttribute number(CK_ATTRIBUTE_TYPE type, uint32_t value)
{
    return vexa::wire::numberAttribute(static_cast<uint32_t>(type), value);
}

WireAttribute flag(CK_ATTRIBUTE_TYPE type, bool value)
{
    return vexa::wire::flagAttribute(static_cast<uint32_t>(type), value);
}

WireAttribute bytes(CK_ATTRIBUTE_TYPE type, const Bytes& value)
{
    return vexa::wire::bytesAttribute(static_cast<uint32_t>(type), value);
}

WireAttribute typeOnly(CK_ATTRIBUTE_TYPE type)
{
    WireAttribute a;
    a.type = static_cast<uint32_t>(type);
    return a;
}

WireMechanism mechanism(CK_MECHANISM_TYPE type, const Bytes& parameter)
{
    WireMechanism m;
    m.type = static_cast<uint32_t>(type);
    m.parameter = parameter;
    return m;
}

void require(const Response& resp, const std::string& what)
{
    if (resp.rv != CKR_OK) {
        throw std::runtime_error(
            what + " failed with rv 0x" +
            toHex({uint8_t(resp.rv >> 24), uint8_t(resp.rv >> 16), uint8_t(resp.rv >> 8), uint8_t(resp.rv)}));
    }
}

Response TokenClient::call(const Request& req)
{
    Bytes encoded;
    if (!vexa::wire::encodeRequest(req, encoded, kMessageLimit)) {
        throw std::runtime_error("request does not encode into 2048 bytes");
    }
    Bytes reply = m_link.exchange(encoded);
    if (reply.empty()) {
        throw std::runtime_error("no reply");
    }
    if (reply.size() > kMessageLimit) {
        throw std::runtime_error("reply of " + std::to_string(reply.size()) + " bytes");
    }
    Response resp;
    if (!vexa::wire::decodeResponse(reply, resp)) {
        throw std::runtime_error("reply does not decode");
    }
    const vexa::wire::Call* called = vexa::wire::findCall(req.function);
    if (called != nullptr && resp.rv == CKR_OK && (called->needs() & ~vexa::wire::presentFields(resp)) != 0) {
        throw std::runtime_error(std::string(called->name) + " succeeded without a field its reply needs");
    }
    return resp;
}

Response TokenClient::call(uint32_t function, uint32_t session, const std::function<void(Request&)>& fill)
{
    Request req;
    req.function = function;
    req.session = session;
    if (fill) {
        fill(req);
    }
    return call(req);
}

uint32_t TokenClient::openSession(bool readWrite)
{
    Request req;
    req.function = fn::OpenSession;
    req.value = CKF_SERIAL_SESSION | (readWrite ? CKF_RW_SESSION : 0);
    Response resp = call(req);
    require(resp, "C_OpenSession");
    return resp.handle.value();
}

void TokenClient::login(uint32_t session, const std::string& pin, uint32_t user)
{
    require(call(fn::Login, session,
                 [&](Request& r) {
                     r.value = user;
                     r.data = bytesOf(pin);
                 }),
            "C_Login");
}

uint32_t TokenClient::create(uint32_t session, const std::vector<WireAttribute>& templ)
{
    Response resp = call(fn::CreateObject, session, [&](Request& r) { r.templ = templ; });
    require(resp, "C_CreateObject");
    return resp.handle.value();
}

uint32_t TokenClient::generateAesKey(uint32_t session, const std::vector<WireAttribute>& extra)
{
    Response resp = call(fn::GenerateKey, session, [&](Request& r) {
        r.mechanism = mechanism(CKM_AES_KEY_GEN);
        r.templ = {number(CKA_VALUE_LEN, 16), flag(CKA_ENCRYPT, true), flag(CKA_DECRYPT, true)};
        r.templ.insert(r.templ.end(), extra.begin(), extra.end());
    });
    require(resp, "C_GenerateKey");
    return resp.handle.value();
}

std::pair<uint32_t, uint32_t> TokenClient::generateEcKeyPair(uint32_t session)
{
    Response resp = call(fn::GenerateKeyPair, session, [&](Request& r) {
        r.mechanism = mechanism(CKM_EC_KEY_PAIR_GEN);
        r.templ = {bytes(CKA_EC_PARAMS, kP256Oid), flag(CKA_VERIFY, true)};
        r.templ2 = {flag(CKA_SIGN, true), flag(CKA_DERIVE, true), flag(CKA_SENSITIVE, true)};
    });
    require(resp, "C_GenerateKeyPair");
    return {resp.handle.value(), resp.handle2.value()};
}

std::vector<uint32_t> TokenClient::find(uint32_t session, const std::vector<WireAttribute>& templ, uint32_t max)
{
    require(call(fn::FindObjectsInit, session, [&](Request& r) { r.templ = templ; }), "C_FindObjectsInit");
    Response resp = call(fn::FindObjects, session, [&](Request& r) { r.outputLength = max; });
    require(resp, "C_FindObjects");
    require(call(fn::FindObjectsFinal, session), "C_FindObjectsFinal");
    std::vector<uint32_t> handles;
    const Bytes& out = resp.output.value_or(Bytes());
    for (size_t i = 0; i + 4 <= out.size(); i += 4) {
        handles.push_back(out[i] | out[i + 1] << 8 | out[i + 2] << 16 | uint32_t(out[i + 3]) << 24);
    }
    return handles;
}

Bytes TokenClient::attribute(uint32_t session, uint32_t object, CK_ATTRIBUTE_TYPE type)
{
    Response resp = call(fn::GetAttributeValue, session, [&](Request& r) {
        r.handle = object;
        r.templ = {typeOnly(type)};
    });
    require(resp, "C_GetAttributeValue");
    if (resp.attributes.size() != 1 || !resp.attributes[0].value) {
        throw std::runtime_error("attribute without a byte value");
    }
    return *resp.attributes[0].value;
}

}  // namespace vexa::test::engine
