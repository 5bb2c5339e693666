#pragma once
// Fake tokens scripted in a few lines, on the wire codec:
//
//   token.responder = respondWith([](const Request& request) {
//       EXPECT_EQ(request.function, fn::GenerateRandom);
//       Response reply;
//       reply.output = Bytes(request.outputLength.value_or(0), 0xAB);
//       return reply;
//   });
//
// Every request the library sent (through respondWith or decodeAll) is also
// held against the call table: a field that its function does not carry, or
// a `session` where the function names none (or none where it names one),
// fails the test that sent it.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "wire/Codec.h"

namespace vexa::test {

using wire::Bytes;
using wire::Request;
using wire::Response;
using wire::WireAttribute;
using wire::WireEcdh1;
using wire::WireMechanism;
using wire::WireOaep;

// Throws std::runtime_error (with the decoder's message) when the bytes are
// not one well-formed RpcRequest.
Request decodeRequest(const Bytes& bytes);
// The reply bytes a token would send. Throws std::runtime_error when the
// response cannot be encoded.
Bytes encodeResponse(const Response& response);

// A FakeToken responder that decodes each request, asks `script` for the
// reply and encodes it.
std::function<Bytes(const Bytes&)> respondWith(std::function<Response(const Request&)> script);

// Every captured request, decoded.
std::vector<Request> decodeAll(const std::vector<Bytes>& requests);

// Attributes in the shapes a token returns them.
using wire::bytesAttribute;
using wire::flagAttribute;
using wire::mechanismsAttribute;
using wire::numberAttribute;
using wire::templateAttribute;

// A token configuration with the values given, the others absent.
RpcTokenConfig tokenConfig(std::optional<uint32_t> config1, std::optional<uint32_t> config2,
                           std::optional<uint32_t> config3, std::optional<uint32_t> config4);

// The texts of a token description; each must keep within its field's bound
// (32, 32, 16, 16, 16 bytes) or tokenInfo throws std::runtime_error.
struct TokenTexts {
    std::string label{};
    std::string manufacturerID{};
    std::string model{};
    std::string serialNumber{};
    std::string utcTime{};
};
RpcTokenInfo tokenInfo(const TokenTexts& texts);

}  // namespace vexa::test
