#pragma once
// Plain C++ views of the messages between the library and a token, so that a
// test scripts a fake token in a few lines:
//
//   token.responder = respondWith([](const DecodedRequest& request) {
//       EXPECT_EQ(request.function, 42u);
//       ScriptedResponse reply;
//       reply.output = Bytes(request.outputLength.value_or(0), 0xAB);
//       return reply;
//   });
//
// Every optional field of the schema is a std::optional here, so a test sees
// whether the library sent it as well as what it sent. Every member has a
// default, so a reply can be written as {CKR_OK} or {CKR_OK, 5u}.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vexa::test {

using Bytes = std::vector<uint8_t>;

struct WireAttribute {
    uint32_t type = 0;
    std::optional<uint32_t> valueLength{};
    std::optional<Bytes> value{};
    std::optional<uint32_t> number{};
    std::optional<bool> flag{};
};

struct WireOaep {
    uint32_t hashAlg = 0;
    uint32_t mgf = 0;
    std::optional<uint32_t> source{};
    std::optional<uint32_t> sourceDataLength{};
    std::optional<Bytes> sourceData{};
};

struct WireEcdh1 {
    uint32_t kdf = 0;
    std::optional<Bytes> sharedData{};
    std::optional<Bytes> publicData{};
};

struct WireMechanism {
    uint32_t type = 0;
    std::optional<uint32_t> parameterLength{};
    std::optional<Bytes> parameter{};
    std::optional<WireOaep> oaep{};
    std::optional<WireEcdh1> ecdh1{};
};

struct WireTokenConfig {
    std::optional<uint32_t> config1{};
    std::optional<uint32_t> config2{};
    std::optional<uint32_t> config3{};
    std::optional<uint32_t> config4{};
};

struct DecodedRequest {
    uint32_t function = 0;
    std::optional<uint32_t> session{};
    std::optional<WireMechanism> mechanism{};
    std::optional<Bytes> data{};
    std::vector<WireAttribute> templ{};  // field "template"
    std::optional<uint32_t> handle{};
    std::optional<bool> lengthOnly{};
    std::optional<uint32_t> value{};
    std::vector<WireAttribute> template2{};
    std::optional<Bytes> data2{};
    std::optional<uint32_t> outputLength{};
    std::optional<uint32_t> handle2{};
    std::optional<WireTokenConfig> tokenConfig{};
};

struct WireSessionInfo {
    uint32_t state = 0;
    uint32_t flags = 0;
    uint32_t deviceError = 0;
};

// The byte fields are limited as in the schema (32, 32, 16, 16, 16 bytes);
// longer ones make encodeResponse throw.
struct WireTokenInfo {
    std::string label{};
    std::string manufacturerID{};
    std::string model{};
    std::string serialNumber{};
    uint32_t flags = 0;
    uint32_t maxSessionCount = 0;
    uint32_t sessionCount = 0;
    uint32_t maxRwSessionCount = 0;
    uint32_t rwSessionCount = 0;
    uint32_t maxPinLen = 0;
    uint32_t minPinLen = 0;
    uint32_t totalPublicMemory = 0;
    uint32_t freePublicMemory = 0;
    uint32_t totalPrivateMemory = 0;
    uint32_t freePrivateMemory = 0;
    uint32_t hardwareVersionMajor = 0;
    uint32_t hardwareVersionMinor = 0;
    uint32_t firmwareVersionMajor = 0;
    uint32_t firmwareVersionMinor = 0;
    std::string utcTime{};
};

struct ScriptedResponse {
    uint32_t rv = 0;
    std::optional<uint32_t> handle{};
    std::optional<Bytes> output{};
    std::optional<uint32_t> outputLength{};
    std::optional<uint32_t> handle2{};
    std::vector<WireAttribute> attributes{};
    std::optional<WireSessionInfo> sessionInfo{};
    std::optional<WireTokenInfo> tokenInfo{};
    std::optional<WireTokenConfig> tokenConfig{};
};

// Throws std::runtime_error (with the decoder's message) when the bytes are
// not one well-formed RpcRequest.
DecodedRequest decodeRequest(const Bytes& bytes);

// The reply bytes a token would send. Throws std::runtime_error when the
// response cannot be encoded.
Bytes encodeResponse(const ScriptedResponse& response);

// A FakeToken responder that decodes each request, asks `script` for the
// reply and encodes it.
std::function<Bytes(const Bytes&)> respondWith(std::function<ScriptedResponse(const DecodedRequest&)> script);

// Every captured request, decoded.
std::vector<DecodedRequest> decodeAll(const std::vector<Bytes>& requests);

// Handy shapes of attributes as a token returns them.
WireAttribute numberAttribute(uint32_t type, uint32_t number);
WireAttribute flagAttribute(uint32_t type, bool flag);
WireAttribute bytesAttribute(uint32_t type, const Bytes& value);

}  // namespace vexa::test
