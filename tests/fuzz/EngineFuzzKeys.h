#pragma once
// What fuzz-engine-request's programs are made of: reading the input, the
// keys a program makes, and the mechanisms, parameters, templates and data
// lengths it chooses from.
#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "wire/Codec.h"

namespace vexa::fuzz {

using vexa::wire::Bytes;
using vexa::wire::Request;
using vexa::wire::Response;
using vexa::wire::WireAttribute;
using vexa::wire::WireMechanism;

// One exchange with the engine.
using Exchange = Response (*)(const Request&);

void require(bool holds, const char* what);

// The fuzzer's bytes, read front to back; zeros once they are used up.
class Input {
public:
    Input(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool empty() const { return m_pos >= m_size; }
    uint8_t byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    uint32_t word();
    Bytes bytes(size_t count);  // at most what is left

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

inline WireAttribute number(CK_ATTRIBUTE_TYPE type, CK_ULONG value)
{
    return vexa::wire::numberAttribute(static_cast<uint32_t>(type), static_cast<uint32_t>(value));
}
inline WireAttribute flag(CK_ATTRIBUTE_TYPE type, bool value)
{
    return vexa::wire::flagAttribute(static_cast<uint32_t>(type), value);
}
inline WireAttribute bytes(CK_ATTRIBUTE_TYPE type, const Bytes& value)
{
    return vexa::wire::bytesAttribute(static_cast<uint32_t>(type), value);
}
inline WireAttribute typeOnly(CK_ATTRIBUTE_TYPE type) { return WireAttribute{static_cast<uint32_t>(type)}; }
inline WireMechanism mechanism(CK_MECHANISM_TYPE type) { return WireMechanism{static_cast<uint32_t>(type)}; }

Bytes pattern(size_t length);
// A length near the limits that matter (block sizes, hash sizes, RSA
// moduli, the reply limit) or any length up to about 2 KB.
size_t dataLength(Input& in);

// Material of keys made once per run, for programs to create keys from:
// templates of complete keys of every asymmetric type and of secret keys.
struct Blueprint {
    CK_OBJECT_CLASS cls;
    CK_KEY_TYPE type;
    std::vector<WireAttribute> values;
};
struct KeyMaterial {
    std::vector<Blueprint> rsa1024, rsa2048;  // public, private
    std::vector<Blueprint> all;               // every blueprint, secret keys included
    Bytes dsaPrime, dsaSubprime, dsaBase;
};
KeyMaterial makeMaterial(uint32_t session, Exchange exchange);

// A key or key pair made by generation or from material; the handles the
// token gave out (none when it refused).
std::vector<uint32_t> makeKey(Input& in, uint32_t session, const KeyMaterial& material, Exchange exchange);
// An object made from material with changes: another class or key type, a
// value cut short or replaced, an attribute left out.
std::vector<uint32_t> makeOddKey(Input& in, uint32_t session, const KeyMaterial& material, Exchange exchange);

// Mechanisms of operations, of wrapping, of derivation: every one the
// token's rules know, and some that do not belong there.
const std::vector<CK_MECHANISM_TYPE>& operationMechanisms();
const std::vector<CK_MECHANISM_TYPE>& wrapMechanisms();
const std::vector<CK_MECHANISM_TYPE>& deriveMechanisms();

// Gives the mechanism a parameter: none, a right or wrong one for its kind,
// or the input's bytes. `attributeOf` reads an attribute of a key the
// program chooses (an EC point, a DH public value).
void setParameter(WireMechanism& m, Input& in, const std::function<Bytes(CK_ATTRIBUTE_TYPE)>& attributeOf);

CK_ATTRIBUTE_TYPE attributeType(Input& in);
// Attributes with chosen values; never CKA_TOKEN true, so nothing outlives
// the input.
std::vector<WireAttribute> changedAttributes(Input& in);
// The template of a key that unwrapping or derivation makes.
std::vector<WireAttribute> newKeyTemplate(Input& in);

}  // namespace vexa::fuzz
