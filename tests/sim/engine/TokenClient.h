#pragma once
// Talks to a token the way the library does: one encoded RpcRequest out, one
// RpcResponse back, over whatever link the test chooses.
#include <p11-kit/pkcs11.h>

#include <functional>
#include <memory>
#include <string>

#include "wire/Codec.h"

namespace vexa::test::engine {

using vexa::wire::Bytes;
using vexa::wire::Request;
using vexa::wire::Response;
using vexa::wire::WireAttribute;
using vexa::wire::WireMechanism;

class TokenLink {
public:
    virtual ~TokenLink() = default;
    // Request bytes out, reply bytes back (empty when nothing came back).
    virtual Bytes exchange(const Bytes& request) = 0;
};

// What a behaviour test runs against.
struct LinkKind {
    std::string name;    // test name suffix
    std::string serial;  // of the token the link reaches
    std::string product;
    std::function<std::unique_ptr<TokenLink>()> make;
};

Bytes bytesOf(const std::string& text);
Bytes fromHex(const std::string& hex);
std::string toHex(const Bytes& bytes);

WireAttribute number(CK_ATTRIBUTE_TYPE type, uint32_t value);
WireAttribute flag(CK_ATTRIBUTE_TYPE type, bool value);
WireAttribute bytes(CK_ATTRIBUTE_TYPE type, const Bytes& value);
WireAttribute typeOnly(CK_ATTRIBUTE_TYPE type);
WireMechanism mechanism(CK_MECHANISM_TYPE type, const Bytes& parameter = {});

class TokenClient {
public:
    explicit TokenClient(TokenLink& link) : m_link(link) {}

    // Encodes as the library does (2048-byte limit), exchanges and decodes.
    // Throws std::runtime_error when the request does not encode or the reply
    // is missing, larger than 2048 bytes, undecodable, or successful without
    // a field that the call table says every successful reply has.
    Response call(const Request& req);
    Response call(uint32_t function, uint32_t session, const std::function<void(Request&)>& fill = {});

    // Shortcuts for set-up steps; each throws with the rv when it fails.
    uint32_t openSession(bool readWrite = true);
    void login(uint32_t session, const std::string& pin = "123456", uint32_t user = CKU_USER);
    uint32_t create(uint32_t session, const std::vector<WireAttribute>& templ);
    uint32_t generateAesKey(uint32_t session, const std::vector<WireAttribute>& extra = {});
    // An EC P-256 key pair: {public, private}.
    std::pair<uint32_t, uint32_t> generateEcKeyPair(uint32_t session);
    std::vector<uint32_t> find(uint32_t session, const std::vector<WireAttribute>& templ, uint32_t max = 100);
    Bytes attribute(uint32_t session, uint32_t object, CK_ATTRIBUTE_TYPE type);

private:
    TokenLink& m_link;
};

// Throws unless rv is CKR_OK.
void require(const Response& resp, const std::string& what);

}  // namespace vexa::test::engine
