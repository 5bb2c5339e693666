#pragma once
// The token's view of the message schema: requests decoded into plain C++
// values and replies built from them, so that the calls never touch nanopb.
#include <cstdint>
#include <optional>
#include <vector>

#include "vexa.pb.h"

namespace vexa::sim::engine {

using Bytes = std::vector<uint8_t>;

struct WireAttribute {
    uint32_t type = 0;
    std::optional<uint32_t> valueLength;
    std::optional<Bytes> value;
    std::optional<uint32_t> number;
    std::optional<bool> flag;
};

struct WireOaep {
    uint32_t hashAlg = 0;
    uint32_t mgf = 0;
    std::optional<uint32_t> source;
    std::optional<uint32_t> sourceDataLength;
    std::optional<Bytes> sourceData;
};

struct WireEcdh1 {
    uint32_t kdf = 0;
    std::optional<Bytes> sharedData;
    std::optional<Bytes> publicData;
};

struct WireMechanism {
    uint32_t type = 0;
    std::optional<uint32_t> parameterLength;
    std::optional<Bytes> parameter;
    std::optional<WireOaep> oaep;
    std::optional<WireEcdh1> ecdh1;
};

struct Request {
    uint32_t function = 0;
    std::optional<uint32_t> session;
    std::optional<WireMechanism> mechanism;
    std::optional<Bytes> data;
    std::vector<WireAttribute> templ;
    std::optional<uint32_t> handle;
    bool lengthOnly = false;
    std::optional<uint32_t> value;
    std::vector<WireAttribute> templ2;
    std::optional<Bytes> data2;
    std::optional<uint32_t> outputLength;
    std::optional<uint32_t> handle2;
    std::optional<RpcTokenConfig> tokenConfig;
};

struct Response {
    uint32_t rv = 0;
    std::optional<uint32_t> handle;
    std::optional<Bytes> output;
    std::optional<uint32_t> outputLength;
    std::optional<uint32_t> handle2;
    std::vector<WireAttribute> attributes;
    std::optional<RpcSessionInfo> sessionInfo;
    std::optional<RpcTokenInfo> tokenInfo;
    std::optional<RpcTokenConfig> tokenConfig;
};

// False when the bytes are not an RpcRequest (or are larger than any request).
bool decodeRequest(const Bytes& message, Request& out);
// False when the reply does not fit into `limit` bytes; `out` is then empty.
bool encodeResponse(const Response& response, Bytes& out, size_t limit);

// The other direction, for tests and tools that play the library's part.
bool encodeRequest(const Request& request, Bytes& out, size_t limit);
bool decodeResponse(const Bytes& message, Response& out);

}  // namespace vexa::sim::engine
