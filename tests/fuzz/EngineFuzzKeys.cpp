#include "EngineFuzzKeys.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>

#include "wire/Functions.h"

namespace vexa::fuzz {
namespace {

namespace fn = vexa::wire::fn;

// DER object identifiers of the curves programs make keys on.
const Bytes kP256 = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
const Bytes kCurves[] = {
    kP256,
    {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x22},                          // P-384
    {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x23},                          // P-521
    {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x0A},                          // secp256k1
    {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x21},                          // P-224
    {0x06, 0x09, 0x2B, 0x24, 0x03, 0x03, 0x02, 0x08, 0x01, 0x01, 0x07},  // brainpoolP256r1
};
const Bytes kEdwardsCurves[] = {{0x06, 0x03, 0x2B, 0x65, 0x70}, {0x06, 0x03, 0x2B, 0x65, 0x71}};

// The 1024-bit MODP group of RFC 2409 (the second Oakley group), generator 2.
const char kDhPrime[] =
    "FFFFFFFFFFFFFFFFC90FDAA22168C234C4C6628B80DC1CD129024E088A67CC74020BBEA63B139B22514A08798E3404DD"
    "EF9519B3CD3A431B302B0A6DF25F14374FE1356D6D51C245E485B576625E7EC6F44C42E9A637ED6B0BFF5CB6F406B7ED"
    "EE386BFB5A899FA5AE9F24117C4B1FE649286651ECE65381FFFFFFFFFFFFFFFF";

const size_t kLengths[] = {0,  1,  7,  8,   15,  16,  17,  20,  24,  28,  31,  32,  33,  48,   63,   64,
                           65, 86, 87, 116, 117, 118, 127, 128, 129, 255, 256, 257, 512, 1000, 2000, 2048};

const CK_OBJECT_CLASS kClasses[] = {CKO_PUBLIC_KEY, CKO_PRIVATE_KEY, CKO_SECRET_KEY, CKO_DATA, CKO_DOMAIN_PARAMETERS};
const CK_KEY_TYPE kKeyTypes[] = {CKK_RSA,
                                 CKK_DSA,
                                 CKK_DH,
                                 CKK_EC,
                                 CKK_EC_EDWARDS,
                                 CKK_AES,
                                 CKK_DES,
                                 CKK_DES2,
                                 CKK_DES3,
                                 CKK_GENERIC_SECRET,
                                 CKK_MD5_HMAC,
                                 CKK_SHA256_HMAC,
                                 CKK_VENDOR_DEFINED};

enum class Kind { Number, Flag, Bytes, Mechanisms, Members };
struct AttributeKind {
    CK_ATTRIBUTE_TYPE type;
    Kind kind;
};
const AttributeKind kAttributes[] = {
    {CKA_CLASS, Kind::Number},
    {CKA_KEY_TYPE, Kind::Number},
    {CKA_VALUE_LEN, Kind::Number},
    {CKA_MODULUS_BITS, Kind::Number},
    {CKA_TOKEN, Kind::Flag},
    {CKA_PRIVATE, Kind::Flag},
    {CKA_SENSITIVE, Kind::Flag},
    {CKA_EXTRACTABLE, Kind::Flag},
    {CKA_ENCRYPT, Kind::Flag},
    {CKA_DECRYPT, Kind::Flag},
    {CKA_SIGN, Kind::Flag},
    {CKA_VERIFY, Kind::Flag},
    {CKA_WRAP, Kind::Flag},
    {CKA_UNWRAP, Kind::Flag},
    {CKA_DERIVE, Kind::Flag},
    {CKA_MODIFIABLE, Kind::Flag},
    {CKA_COPYABLE, Kind::Flag},
    {CKA_LABEL, Kind::Bytes},
    {CKA_ID, Kind::Bytes},
    {CKA_VALUE, Kind::Bytes},
    {CKA_MODULUS, Kind::Bytes},
    {CKA_PUBLIC_EXPONENT, Kind::Bytes},
    {CKA_PRIME, Kind::Bytes},
    {CKA_SUBPRIME, Kind::Bytes},
    {CKA_BASE, Kind::Bytes},
    {CKA_EC_PARAMS, Kind::Bytes},
    {CKA_EC_POINT, Kind::Bytes},
    {CKA_CHECK_VALUE, Kind::Bytes},
    {CKA_ALLOWED_MECHANISMS, Kind::Mechanisms},
    {CKA_WRAP_TEMPLATE, Kind::Members},
    {CKA_DERIVE_TEMPLATE, Kind::Members},
};

template <typename T, size_t N>
const T& pick(Input& in, const T (&choices)[N])
{
    return choices[in.byte() % N];
}

// Mechanisms a key may be bound to.
const CK_MECHANISM_TYPE kAllowable[] = {CKM_AES_ECB, CKM_AES_CBC,  CKM_AES_GCM,
                                        CKM_ECDSA,   CKM_RSA_PKCS, CKM_VENDOR_DEFINED | 3};

Bytes fromHex(const char* hex)
{
    Bytes out;
    for (const char* p = hex; p[0] && p[1]; p += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(std::string(p, 2), nullptr, 16)));
    }
    return out;
}

Bytes littleEndian(std::initializer_list<uint64_t> words)
{
    Bytes out;
    for (uint64_t w : words) {
        for (int i = 0; i < 8; ++i) {
            out.push_back(static_cast<uint8_t>(w >> (8 * i)));
        }
    }
    return out;
}

// What lets each class of key do everything it can, so that operations get
// past the usage flags to what is checked after them.
std::vector<WireAttribute> usage(CK_OBJECT_CLASS cls)
{
    std::vector<WireAttribute> a = {flag(CKA_TOKEN, false)};
    if (cls == CKO_PUBLIC_KEY || cls == CKO_SECRET_KEY) {
        a.insert(a.end(), {flag(CKA_ENCRYPT, true), flag(CKA_VERIFY, true), flag(CKA_WRAP, true)});
    }
    if (cls == CKO_PRIVATE_KEY || cls == CKO_SECRET_KEY) {
        a.insert(a.end(), {flag(CKA_DECRYPT, true), flag(CKA_SIGN, true), flag(CKA_UNWRAP, true),
                           flag(CKA_SENSITIVE, false), flag(CKA_EXTRACTABLE, true)});
    }
    if (cls != CKO_DATA && cls != CKO_DOMAIN_PARAMETERS) {
        a.push_back(flag(CKA_DERIVE, true));
    }
    return a;
}

std::vector<WireAttribute> with(std::vector<WireAttribute> a, const std::vector<WireAttribute>& more)
{
    a.insert(a.end(), more.begin(), more.end());
    return a;
}

std::vector<uint32_t> handlesOf(const Response& r)
{
    std::vector<uint32_t> h;
    if (r.rv == CKR_OK && r.handle) {
        h.push_back(*r.handle);
    }
    if (r.rv == CKR_OK && r.handle2) {
        h.push_back(*r.handle2);
    }
    return h;
}

Response generate(Exchange exchange, uint32_t session, CK_MECHANISM_TYPE m, std::vector<WireAttribute> templ)
{
    Request r;
    r.function = fn::GenerateKey;
    r.session = session;
    r.mechanism = mechanism(m);
    r.templ = std::move(templ);
    return exchange(r);
}

Response generatePair(Exchange exchange, uint32_t session, CK_MECHANISM_TYPE m, std::vector<WireAttribute> pub,
                      std::vector<WireAttribute> priv)
{
    Request r;
    r.function = fn::GenerateKeyPair;
    r.session = session;
    r.mechanism = mechanism(m);
    r.templ = with(std::move(pub), usage(CKO_PUBLIC_KEY));
    r.templ2 = with(std::move(priv), usage(CKO_PRIVATE_KEY));
    return exchange(r);
}

Response create(Exchange exchange, uint32_t session, const Blueprint& b)
{
    Request r;
    r.function = fn::CreateObject;
    r.session = session;
    r.templ = with({number(CKA_CLASS, b.cls), number(CKA_KEY_TYPE, b.type)}, b.values);
    r.templ = with(std::move(r.templ), usage(b.cls));
    return exchange(r);
}

Bytes read(Exchange exchange, uint32_t session, uint32_t object, CK_ATTRIBUTE_TYPE type)
{
    Request r;
    r.function = fn::GetAttributeValue;
    r.session = session;
    r.handle = object;
    r.templ = {typeOnly(type)};
    Response resp = exchange(r);
    require(resp.rv == CKR_OK && resp.attributes.size() == 1 && resp.attributes[0].value,
            "the material's attributes can be read");
    return *resp.attributes[0].value;
}

std::vector<WireAttribute> readAll(Exchange exchange, uint32_t session, uint32_t object,
                                   std::initializer_list<CK_ATTRIBUTE_TYPE> types)
{
    std::vector<WireAttribute> out;
    for (CK_ATTRIBUTE_TYPE t : types) {
        out.push_back(bytes(t, read(exchange, session, object, t)));
    }
    return out;
}

std::vector<Blueprint> rsaMaterial(Exchange exchange, uint32_t session, CK_ULONG bits)
{
    Response pair = generatePair(exchange, session, CKM_RSA_PKCS_KEY_PAIR_GEN,
                                 {number(CKA_MODULUS_BITS, bits), bytes(CKA_PUBLIC_EXPONENT, {1, 0, 1})}, {});
    require(pair.rv == CKR_OK, "RSA material is made");
    return {
        {CKO_PUBLIC_KEY, CKK_RSA, readAll(exchange, session, *pair.handle, {CKA_MODULUS, CKA_PUBLIC_EXPONENT})},
        {CKO_PRIVATE_KEY, CKK_RSA,
         readAll(exchange, session, *pair.handle2,
                 {CKA_MODULUS, CKA_PUBLIC_EXPONENT, CKA_PRIVATE_EXPONENT, CKA_PRIME_1, CKA_PRIME_2, CKA_EXPONENT_1,
                  CKA_EXPONENT_2, CKA_COEFFICIENT})},
    };
}

// The DSA and DH keys of the material: domain parameters and the two values.
std::vector<Blueprint> domainMaterial(Exchange exchange, uint32_t session, CK_KEY_TYPE type, CK_MECHANISM_TYPE pairGen,
                                      const std::vector<WireAttribute>& domain)
{
    Response pair = generatePair(exchange, session, pairGen, domain, {});
    require(pair.rv == CKR_OK, "DSA or DH material is made");
    return {
        {CKO_PUBLIC_KEY, type, with(domain, {bytes(CKA_VALUE, read(exchange, session, *pair.handle, CKA_VALUE))})},
        {CKO_PRIVATE_KEY, type, with(domain, {bytes(CKA_VALUE, read(exchange, session, *pair.handle2, CKA_VALUE))})},
    };
}

std::vector<uint32_t> makeGenerated(Input& in, uint32_t session, Exchange exchange, uint8_t recipe)
{
    switch (recipe) {
    case 0: {
        static const CK_ULONG kAesSizes[] = {16, 24, 32};
        return handlesOf(generate(exchange, session, CKM_AES_KEY_GEN,
                                  with({number(CKA_VALUE_LEN, pick(in, kAesSizes))}, usage(CKO_SECRET_KEY))));
    }
    case 1: {
        static const CK_MECHANISM_TYPE kDes[] = {CKM_DES_KEY_GEN, CKM_DES2_KEY_GEN, CKM_DES3_KEY_GEN};
        return handlesOf(generate(exchange, session, pick(in, kDes), usage(CKO_SECRET_KEY)));
    }
    case 2:
        return handlesOf(generate(exchange, session, CKM_GENERIC_SECRET_KEY_GEN,
                                  with({number(CKA_VALUE_LEN, 1 + in.byte() % 80)}, usage(CKO_SECRET_KEY))));
    case 3:
        return handlesOf(
            generatePair(exchange, session, CKM_EC_KEY_PAIR_GEN, {bytes(CKA_EC_PARAMS, pick(in, kCurves))}, {}));
    default:
        return handlesOf(generatePair(exchange, session, CKM_EC_EDWARDS_KEY_PAIR_GEN,
                                      {bytes(CKA_EC_PARAMS, pick(in, kEdwardsCurves))}, {}));
    }
}

}  // namespace

void require(bool holds, const char* what)
{
    if (!holds) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

uint32_t Input::word()
{
    uint32_t w = 0;
    for (int i = 0; i < 4; ++i) {
        w = w << 8 | byte();
    }
    return w;
}

Bytes Input::bytes(size_t count)
{
    count = std::min(count, m_size - m_pos);
    Bytes b(m_data + m_pos, m_data + m_pos + count);
    m_pos += count;
    return b;
}

Bytes pattern(size_t length)
{
    Bytes b(length);
    for (size_t i = 0; i < length; ++i) {
        b[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    return b;
}

size_t dataLength(Input& in)
{
    const size_t b = in.byte();
    constexpr size_t n = std::size(kLengths);
    return b < n ? kLengths[b] : (b - n) * 9;
}

KeyMaterial makeMaterial(uint32_t session, Exchange exchange)
{
    KeyMaterial m;
    m.rsa1024 = rsaMaterial(exchange, session, 1024);
    m.rsa2048 = rsaMaterial(exchange, session, 2048);

    Response ec = generatePair(exchange, session, CKM_EC_KEY_PAIR_GEN, {bytes(CKA_EC_PARAMS, kP256)}, {});
    require(ec.rv == CKR_OK, "EC material is made");
    const WireAttribute params = bytes(CKA_EC_PARAMS, kP256);
    std::vector<Blueprint> eckeys = {
        {CKO_PUBLIC_KEY, CKK_EC, {params, bytes(CKA_EC_POINT, read(exchange, session, *ec.handle, CKA_EC_POINT))}},
        {CKO_PRIVATE_KEY, CKK_EC, {params, bytes(CKA_VALUE, read(exchange, session, *ec.handle2, CKA_VALUE))}},
    };

    Response dsaDomain = generate(exchange, session, CKM_DSA_PARAMETER_GEN, {number(CKA_PRIME_BITS, 1024)});
    require(dsaDomain.rv == CKR_OK, "DSA domain parameters are made");
    m.dsaPrime = read(exchange, session, *dsaDomain.handle, CKA_PRIME);
    m.dsaSubprime = read(exchange, session, *dsaDomain.handle, CKA_SUBPRIME);
    m.dsaBase = read(exchange, session, *dsaDomain.handle, CKA_BASE);
    const std::vector<WireAttribute> dsa = {bytes(CKA_PRIME, m.dsaPrime), bytes(CKA_SUBPRIME, m.dsaSubprime),
                                            bytes(CKA_BASE, m.dsaBase)};
    const std::vector<WireAttribute> dh = {bytes(CKA_PRIME, fromHex(kDhPrime)), bytes(CKA_BASE, {2})};

    for (const auto& group :
         {m.rsa1024, m.rsa2048, eckeys, domainMaterial(exchange, session, CKK_DSA, CKM_DSA_KEY_PAIR_GEN, dsa),
          domainMaterial(exchange, session, CKK_DH, CKM_DH_PKCS_KEY_PAIR_GEN, dh)}) {
        m.all.insert(m.all.end(), group.begin(), group.end());
    }
    m.all.push_back({CKO_SECRET_KEY, CKK_AES, {bytes(CKA_VALUE, pattern(16))}});
    m.all.push_back({CKO_SECRET_KEY, CKK_GENERIC_SECRET, {bytes(CKA_VALUE, pattern(32))}});
    m.all.push_back({CKO_SECRET_KEY, CKK_DES3, {bytes(CKA_VALUE, pattern(24))}});
    return m;
}

std::vector<uint32_t> makeKey(Input& in, uint32_t session, const KeyMaterial& material, Exchange exchange)
{
    const uint8_t recipe = in.byte() % 8;
    if (recipe < 5) {
        return makeGenerated(in, session, exchange, recipe);
    }
    if (recipe == 5) {
        // RSA from material: generating it takes too long for every input.
        const std::vector<Blueprint>& rsa = in.byte() % 2 ? material.rsa2048 : material.rsa1024;
        std::vector<uint32_t> pair = handlesOf(create(exchange, session, rsa[0]));
        const std::vector<uint32_t> priv = handlesOf(create(exchange, session, rsa[1]));
        pair.insert(pair.end(), priv.begin(), priv.end());
        return pair;
    }
    const bool isDsa = recipe == 6;
    const std::vector<WireAttribute> domain =
        isDsa ? std::vector<WireAttribute>{bytes(CKA_PRIME, material.dsaPrime),
                                           bytes(CKA_SUBPRIME, material.dsaSubprime), bytes(CKA_BASE, material.dsaBase)}
              : std::vector<WireAttribute>{bytes(CKA_PRIME, fromHex(kDhPrime)), bytes(CKA_BASE, {2})};
    return handlesOf(
        generatePair(exchange, session, isDsa ? CKM_DSA_KEY_PAIR_GEN : CKM_DH_PKCS_KEY_PAIR_GEN, domain, {}));
}

std::vector<uint32_t> makeOddKey(Input& in, uint32_t session, const KeyMaterial& material, Exchange exchange)
{
    Blueprint b = material.all[in.byte() % material.all.size()];
    const uint8_t changes = in.byte();
    if (changes & 1) {
        b.cls = pick(in, kClasses);
    }
    if (changes & 2) {
        b.type = pick(in, kKeyTypes);
    }
    if ((changes & 4) && !b.values.empty()) {
        WireAttribute& a = b.values[in.byte() % b.values.size()];
        a.value->resize(std::min<size_t>(a.value->size(), in.byte()));
        a.valueLength = static_cast<uint32_t>(a.value->size());
    }
    if ((changes & 8) && !b.values.empty()) {
        WireAttribute& a = b.values[in.byte() % b.values.size()];
        a = bytes(a.type, in.bytes(in.byte()));
    }
    if ((changes & 16) && !b.values.empty()) {
        b.values.erase(b.values.begin() + in.byte() % b.values.size());
    }
    if (changes & 32) {
        b.values.push_back(bytes(attributeType(in), in.bytes(in.byte() % 40)));
    }
    return handlesOf(create(exchange, session, b));
}

const std::vector<CK_MECHANISM_TYPE>& operationMechanisms()
{
    static const std::vector<CK_MECHANISM_TYPE> m = {
        CKM_RSA_PKCS,
        CKM_RSA_X_509,
        CKM_RSA_PKCS_OAEP,
        CKM_RSA_PKCS_PSS,
        CKM_MD5_RSA_PKCS,
        CKM_SHA1_RSA_PKCS,
        CKM_SHA224_RSA_PKCS,
        CKM_SHA256_RSA_PKCS,
        CKM_SHA384_RSA_PKCS,
        CKM_SHA512_RSA_PKCS,
        CKM_SHA1_RSA_PKCS_PSS,
        CKM_SHA224_RSA_PKCS_PSS,
        CKM_SHA256_RSA_PKCS_PSS,
        CKM_SHA384_RSA_PKCS_PSS,
        CKM_SHA512_RSA_PKCS_PSS,
        CKM_DSA,
        CKM_DSA_SHA1,
        CKM_DSA_SHA224,
        CKM_DSA_SHA256,
        CKM_DSA_SHA384,
        CKM_DSA_SHA512,
        CKM_ECDSA,
        CKM_EDDSA,
        CKM_AES_ECB,
        CKM_AES_CBC,
        CKM_AES_CBC_PAD,
        CKM_AES_CTR,
        CKM_AES_GCM,
        CKM_AES_CMAC,
        CKM_DES_ECB,
        CKM_DES_CBC,
        CKM_DES_CBC_PAD,
        CKM_DES3_ECB,
        CKM_DES3_CBC,
        CKM_DES3_CBC_PAD,
        CKM_DES3_CMAC,
        CKM_MD5_HMAC,
        CKM_SHA_1_HMAC,
        CKM_SHA224_HMAC,
        CKM_SHA256_HMAC,
        CKM_SHA384_HMAC,
        CKM_SHA512_HMAC,
        CKM_SHA256,
        CKM_ECDH1_DERIVE,
        CKM_AES_KEY_WRAP,
        CKM_VENDOR_DEFINED + 1,
        CKM_ECDSA_SHA1,
        CKM_ECDSA_SHA256,
        CKM_ECDSA_SHA512,
    };
    return m;
}

const std::vector<CK_MECHANISM_TYPE>& wrapMechanisms()
{
    static const std::vector<CK_MECHANISM_TYPE> m = {
        CKM_RSA_PKCS, CKM_RSA_PKCS_OAEP, CKM_RSA_X_509,    CKM_AES_KEY_WRAP, CKM_AES_KEY_WRAP_PAD,
        CKM_AES_ECB,  CKM_AES_CBC_PAD,   CKM_DES3_CBC_PAD, CKM_SHA256,
    };
    return m;
}

const std::vector<CK_MECHANISM_TYPE>& deriveMechanisms()
{
    static const std::vector<CK_MECHANISM_TYPE> m = {
        CKM_ECDH1_DERIVE,
        CKM_DH_PKCS_DERIVE,
        CKM_AES_ECB_ENCRYPT_DATA,
        CKM_AES_CBC_ENCRYPT_DATA,
        CKM_DES_ECB_ENCRYPT_DATA,
        CKM_DES3_ECB_ENCRYPT_DATA,
        CKM_RSA_PKCS,
        CKM_CONCATENATE_BASE_AND_KEY,
        CKM_SHA256_KEY_DERIVATION,
        CKM_AES_CBC_ENCRYPT_DATA,
        CKM_DES_CBC_ENCRYPT_DATA,
        CKM_DES3_CBC_ENCRYPT_DATA,
    };
    return m;
}

void setParameter(WireMechanism& m, Input& in, const std::function<Bytes(CK_ATTRIBUTE_TYPE)>& attributeOf)
{
    static const CK_MECHANISM_TYPE kHashes[] = {CKM_SHA_1, CKM_SHA224, CKM_SHA256, CKM_SHA384, CKM_SHA512, CKM_MD5};
    static const CK_RSA_PKCS_MGF_TYPE kMgfs[] = {CKG_MGF1_SHA1,   CKG_MGF1_SHA224, CKG_MGF1_SHA256,
                                                 CKG_MGF1_SHA384, CKG_MGF1_SHA512, 0};
    const uint8_t variant = in.byte() % 12;
    const size_t hash = in.byte() % std::size(kHashes);
    switch (variant) {
    case 0:
        return;  // none
    case 1:
        m.parameter = in.bytes(16);
        break;
    case 2:
        m.parameter = in.bytes(8);
        break;
    case 3: {  // CK_AES_CTR_PARAMS: counter bits and a counter block
        Bytes p = littleEndian({in.byte()});
        Bytes block = in.bytes(16);
        block.resize(16);
        p.insert(p.end(), block.begin(), block.end());
        m.parameter = p;
        break;
    }
    case 4:  // CK_RSA_PKCS_PSS_PARAMS
        m.parameter = littleEndian({kHashes[hash], kMgfs[hash], in.byte()});
        break;
    case 5: {
        vexa::wire::WireOaep oaep;
        oaep.hashAlg = static_cast<uint32_t>(kHashes[hash]);
        oaep.mgf = static_cast<uint32_t>(kMgfs[in.byte() % std::size(kMgfs)]);
        oaep.source = CKZ_DATA_SPECIFIED;
        if (in.byte() & 1) {
            oaep.sourceData = in.bytes(in.byte() % 16);
        }
        m.oaep = oaep;
        break;
    }
    case 6: {
        vexa::wire::WireEcdh1 ecdh;
        ecdh.kdf = in.byte() % 2 ? CKD_NULL : CKD_SHA1_KDF;
        ecdh.publicData = in.byte() % 2 ? attributeOf(CKA_EC_POINT) : in.bytes(in.byte() % 140);
        m.ecdh1 = ecdh;
        break;
    }
    case 7:  // a DH public value
        m.parameter = attributeOf(CKA_VALUE);
        break;
    case 8:  // a raw OAEP block without source data
        m.parameter = littleEndian({kHashes[hash], kMgfs[hash], CKZ_DATA_SPECIFIED, 0, 0});
        break;
    case 9: {  // GCM: an IV, perhaps additional data, a tag size right or wrong
        vexa::wire::WireGcm gcm;
        gcm.iv = in.bytes(in.byte() % 20);
        if (in.byte() & 1) {
            gcm.aad = in.bytes(in.byte() % 40);
        }
        if (in.byte() & 1) {
            gcm.ivBits = in.byte();
        }
        gcm.tagBits = in.byte() & 1 ? 128 : in.byte();
        m.gcm = gcm;
        break;
    }
    case 10: {  // ENCRYPT_DATA: the data, and an IV of some length
        vexa::wire::WireEncryptData data;
        data.data = in.bytes(in.byte() % 48);
        if (in.byte() & 1) {
            data.iv = in.bytes(in.byte() % 17);
        }
        m.encryptData = data;
        break;
    }
    default:
        m.parameter = in.bytes(in.byte() % 64);
        break;
    }
    if (m.parameter && (in.byte() & 1)) {
        m.parameterLength = static_cast<uint32_t>(m.parameter->size() + (in.byte() & 1));
    }
}

CK_ATTRIBUTE_TYPE attributeType(Input& in)
{
    const uint8_t b = in.byte();
    if (b == 0xFF) {
        return in.word();
    }
    return kAttributes[b % std::size(kAttributes)].type;
}

std::vector<WireAttribute> changedAttributes(Input& in)
{
    std::vector<WireAttribute> out;
    for (size_t n = in.byte() % 4; n > 0; --n) {
        const CK_ATTRIBUTE_TYPE type = attributeType(in);
        auto known = std::find_if(std::begin(kAttributes), std::end(kAttributes),
                                  [&](const AttributeKind& k) { return k.type == type; });
        const Kind kind = known == std::end(kAttributes) ? Kind::Bytes : known->kind;
        if (type == CKA_TOKEN) {
            out.push_back(flag(type, false));
        } else if (type == CKA_CLASS) {
            out.push_back(number(type, pick(in, kClasses)));
        } else if (type == CKA_KEY_TYPE) {
            out.push_back(number(type, pick(in, kKeyTypes)));
        } else if (kind == Kind::Number) {
            out.push_back(number(type, in.byte() * 8u));
        } else if (kind == Kind::Flag) {
            out.push_back(flag(type, in.byte() & 1));
        } else if (kind == Kind::Mechanisms) {
            std::vector<uint32_t> mechanisms;
            for (size_t m = in.byte() % 5; m > 0; --m) {
                mechanisms.push_back(static_cast<uint32_t>(pick(in, kAllowable)));
            }
            WireAttribute list = vexa::wire::mechanismsAttribute(type, mechanisms);
            if (in.byte() == 0) {
                list.valueLength = in.byte();  // a count that may disagree
            }
            out.push_back(list);
        } else if (kind == Kind::Members) {
            std::vector<WireAttribute> members;
            for (size_t m = in.byte() % 4; m > 0; --m) {
                members.push_back(in.byte() & 1 ? number(CKA_CLASS, pick(in, kClasses))
                                                : flag(CKA_EXTRACTABLE, in.byte() & 1));
            }
            out.push_back(vexa::wire::templateAttribute(type, members));
        } else {
            out.push_back(bytes(type, in.bytes(in.byte() % 40)));
        }
    }
    return out;
}

std::vector<WireAttribute> newKeyTemplate(Input& in)
{
    switch (in.byte() % 6) {
    case 0:
        return with({number(CKA_CLASS, CKO_SECRET_KEY), number(CKA_KEY_TYPE, CKK_AES), number(CKA_VALUE_LEN, 16)},
                    usage(CKO_SECRET_KEY));
    case 1:
        return with({number(CKA_CLASS, CKO_SECRET_KEY), number(CKA_KEY_TYPE, CKK_GENERIC_SECRET),
                     number(CKA_VALUE_LEN, in.byte())},
                    usage(CKO_SECRET_KEY));
    case 2:
        return with({number(CKA_CLASS, CKO_SECRET_KEY), number(CKA_KEY_TYPE, CKK_DES3)}, usage(CKO_SECRET_KEY));
    case 3:
        return with({number(CKA_CLASS, CKO_PRIVATE_KEY), number(CKA_KEY_TYPE, in.byte() % 2 ? CKK_RSA : CKK_EC)},
                    usage(CKO_PRIVATE_KEY));
    case 4:
        return {number(CKA_CLASS, CKO_SECRET_KEY), number(CKA_KEY_TYPE, CKK_AES), flag(CKA_TOKEN, false)};
    default: {
        std::vector<WireAttribute> t = changedAttributes(in);
        t.push_back(flag(CKA_TOKEN, false));
        return t;
    }
    }
}

}  // namespace vexa::fuzz
