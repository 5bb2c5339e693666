#pragma once
// The messages as plain C++ values: requests and replies decoded into
// structs and encoded from them, for the token and for the tests and tools
// that play either side, so that none of them touches nanopb. (The library
// fills the nanopb structs itself: it encodes from the caller's memory and
// decodes into the caller's buffers without a copy.)
//
// Every optional field of the schema is a std::optional here, so a reader
// sees whether a field was sent as well as its value. Every member has a
// default, so a reply can be written as {CKR_OK} or {CKR_OK, 5u}.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "vexa.pb.h"
#include "wire/CallTable.h"

namespace vexa::wire {

using Bytes = std::vector<uint8_t>;

struct WireAttribute {
    uint32_t type = 0;
    std::optional<uint32_t> valueLength{};
    std::optional<Bytes> value{};
    std::optional<uint32_t> number{};
    std::optional<bool> flag{};
    // The entries of an array attribute; a member has none of its own (a
    // message that nests deeper does not decode), and neither list holds
    // more than kMaxArrayEntries.
    std::vector<uint32_t> mechanisms{};
    std::vector<WireAttribute> members{};
};

// An attribute in each shape its value travels in.
WireAttribute numberAttribute(uint32_t type, uint32_t number);
WireAttribute flagAttribute(uint32_t type, bool flag);
WireAttribute bytesAttribute(uint32_t type, Bytes value);
// Array attributes: valueLength counts the entries.
WireAttribute mechanismsAttribute(uint32_t type, std::vector<uint32_t> mechanisms);
WireAttribute templateAttribute(uint32_t type, std::vector<WireAttribute> members);

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

struct WireGcm {
    std::optional<Bytes> iv{};
    std::optional<uint32_t> ivBits{};
    std::optional<Bytes> aad{};
    uint32_t tagBits = 0;
};

struct WireEncryptData {
    std::optional<Bytes> iv{};
    std::optional<Bytes> data{};
};

struct WireMechanism {
    uint32_t type = 0;
    std::optional<uint32_t> parameterLength{};
    std::optional<Bytes> parameter{};
    std::optional<WireOaep> oaep{};
    std::optional<WireEcdh1> ecdh1{};
    std::optional<WireGcm> gcm{};
    std::optional<WireEncryptData> encryptData{};
};

struct Request {
    uint32_t function = 0;
    std::optional<uint32_t> session{};
    std::optional<WireMechanism> mechanism{};
    std::optional<Bytes> data{};
    std::vector<WireAttribute> templ{};  // field "template"
    std::optional<uint32_t> handle{};
    bool lengthOnly = false;  // sent only as true
    std::optional<uint32_t> value{};
    std::vector<WireAttribute> templ2{};  // field "template2"
    std::optional<Bytes> data2{};
    std::optional<uint32_t> outputLength{};
    std::optional<uint32_t> handle2{};
    std::optional<RpcTokenConfig> tokenConfig{};
};

struct Response {
    uint32_t rv = 0;
    std::optional<uint32_t> handle{};
    std::optional<Bytes> output{};
    std::optional<uint32_t> outputLength{};
    std::optional<uint32_t> handle2{};
    std::vector<WireAttribute> attributes{};
    std::optional<RpcSessionInfo> sessionInfo{};
    std::optional<RpcTokenInfo> tokenInfo{};
    std::optional<RpcTokenConfig> tokenConfig{};
};

// Requests are at most 2048 bytes from the library and 4096 through the
// daemon; anything far larger is not a request of this protocol.
inline constexpr size_t kMaxRequest = 8192;

// False when the bytes are not an RpcRequest (or are larger than
// kMaxRequest); error, when given, then says why.
bool decodeRequest(const Bytes& message, Request& out, const char** error = nullptr);
// False when the reply does not fit into `limit` bytes or a field breaks
// the schema's bounds; `out` is then empty.
bool encodeResponse(const Response& response, Bytes& out, size_t limit);

// The other direction, for tests and tools that play the library's part.
bool encodeRequest(const Request& request, Bytes& out, size_t limit);
bool decodeResponse(const Bytes& message, Response& out, const char** error = nullptr);

// The argument and result fields present, as the call table counts them.
FieldSet presentFields(const Request& request);
FieldSet presentFields(const Response& response);

}  // namespace vexa::wire
