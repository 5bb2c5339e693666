#include "MechanismWalk.h"

#include <algorithm>
#include <cstdio>

namespace vexa::test {
namespace {

CK_BBOOL kTrue = CK_TRUE;
CK_BBOOL kFalse = CK_FALSE;
CK_OBJECT_CLASS kSecretClass = CKO_SECRET_KEY;
CK_BYTE kP256[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
CK_BYTE kEd25519[] = {0x06, 0x03, 0x2B, 0x65, 0x70};
CK_BYTE kF4[] = {0x01, 0x00, 0x01};

// The 1024-bit MODP group of RFC 2409 (Oakley group 2), generator 2.
const CK_BYTE kOakley2[] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xC9, 0x0F, 0xDA, 0xA2, 0x21, 0x68, 0xC2, 0x34, 0xC4, 0xC6, 0x62,
    0x8B, 0x80, 0xDC, 0x1C, 0xD1, 0x29, 0x02, 0x4E, 0x08, 0x8A, 0x67, 0xCC, 0x74, 0x02, 0x0B, 0xBE, 0xA6, 0x3B, 0x13,
    0x9B, 0x22, 0x51, 0x4A, 0x08, 0x79, 0x8E, 0x34, 0x04, 0xDD, 0xEF, 0x95, 0x19, 0xB3, 0xCD, 0x3A, 0x43, 0x1B, 0x30,
    0x2B, 0x0A, 0x6D, 0xF2, 0x5F, 0x14, 0x37, 0x4F, 0xE1, 0x35, 0x6D, 0x6D, 0x51, 0xC2, 0x45, 0xE4, 0x85, 0xB5, 0x76,
    0x62, 0x5E, 0x7E, 0xC6, 0xF4, 0x4C, 0x42, 0xE9, 0xA6, 0x37, 0xED, 0x6B, 0x0B, 0xFF, 0x5C, 0xB6, 0xF4, 0x06, 0xB7,
    0xED, 0xEE, 0x38, 0x6B, 0xFB, 0x5A, 0x89, 0x9F, 0xA5, 0xAE, 0x9F, 0x24, 0x11, 0x7C, 0x4B, 0x1F, 0xE6, 0x49, 0x28,
    0x66, 0x51, 0xEC, 0xE6, 0x53, 0x81, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
CK_BYTE kTwo[] = {0x02};

std::string failed(const char* what, CK_RV rv)
{
    char text[96];
    std::snprintf(text, sizeof text, "%s: 0x%lx", what, rv);
    return text;
}

bool among(CK_MECHANISM_TYPE m, std::initializer_list<CK_MECHANISM_TYPE> list)
{
    return std::find(list.begin(), list.end(), m) != list.end();
}

enum class Family { None, Rsa, Dsa, Ec, Ed, Dh, Hmac, Aes, Des, Des3 };

Family familyOf(CK_MECHANISM_TYPE m)
{
    if (m <= 0x0F || (m >= 0x40 && m <= 0x47)) {
        return Family::Rsa;
    }
    if (m >= 0x10 && m <= 0x16) {
        return Family::Dsa;
    }
    if (m >= 0x20 && m <= 0x21) {
        return Family::Dh;
    }
    if (m >= 0x1040 && m <= 0x1050) {
        return Family::Ec;
    }
    if (m == CKM_EC_EDWARDS_KEY_PAIR_GEN || m == CKM_EDDSA) {
        return Family::Ed;
    }
    if (among(m, {CKM_MD5_HMAC, CKM_SHA_1_HMAC, CKM_SHA224_HMAC, CKM_SHA256_HMAC, CKM_SHA384_HMAC, CKM_SHA512_HMAC})) {
        return Family::Hmac;
    }
    if ((m >= 0x1080 && m <= 0x10FF) ||
        among(m, {CKM_AES_KEY_WRAP, CKM_AES_KEY_WRAP_PAD, CKM_AES_ECB_ENCRYPT_DATA, CKM_AES_CBC_ENCRYPT_DATA})) {
        return Family::Aes;
    }
    if ((m >= 0x120 && m <= 0x12F) || among(m, {CKM_DES_ECB_ENCRYPT_DATA, CKM_DES_CBC_ENCRYPT_DATA})) {
        return Family::Des;
    }
    if ((m >= 0x130 && m <= 0x13F) || among(m, {CKM_DES3_ECB_ENCRYPT_DATA, CKM_DES3_CBC_ENCRYPT_DATA})) {
        return Family::Des3;
    }
    return Family::None;
}

struct PssHash {
    CK_MECHANISM_TYPE mechanism, hash;
    CK_RSA_PKCS_MGF_TYPE mgf;
    CK_ULONG length;
};
constexpr PssHash kPss[] = {
    {CKM_RSA_PKCS_PSS, CKM_SHA256, CKG_MGF1_SHA256, 32},
    {CKM_SHA1_RSA_PKCS_PSS, CKM_SHA_1, CKG_MGF1_SHA1, 20},
    {CKM_SHA224_RSA_PKCS_PSS, CKM_SHA224, CKG_MGF1_SHA224, 28},
    {CKM_SHA256_RSA_PKCS_PSS, CKM_SHA256, CKG_MGF1_SHA256, 32},
    {CKM_SHA384_RSA_PKCS_PSS, CKM_SHA384, CKG_MGF1_SHA384, 48},
    {CKM_SHA512_RSA_PKCS_PSS, CKM_SHA512, CKG_MGF1_SHA512, 64},
};

size_t blockOf(Family family) { return family == Family::Aes ? 16 : 8; }

}  // namespace

CK_RV CMechanismWalk::makePair(CK_MECHANISM_TYPE mechanism, std::vector<CK_ATTRIBUTE> publicTemplate, Pair& pair)
{
    publicTemplate.insert(publicTemplate.end(), {{CKA_TOKEN, &kFalse, 1},
                                                 {CKA_VERIFY, &kTrue, 1},
                                                 {CKA_ENCRYPT, &kTrue, 1},
                                                 {CKA_WRAP, &kTrue, 1},
                                                 {CKA_DERIVE, &kTrue, 1}});
    std::vector<CK_ATTRIBUTE> privateTemplate = {
        {CKA_TOKEN, &kFalse, 1},  {CKA_PRIVATE, &kTrue, 1}, {CKA_SENSITIVE, &kTrue, 1}, {CKA_SIGN, &kTrue, 1},
        {CKA_DECRYPT, &kTrue, 1}, {CKA_UNWRAP, &kTrue, 1},  {CKA_DERIVE, &kTrue, 1}};
    // Only what the key type takes: the engine refuses the others.
    const auto drop = [&](std::vector<CK_ATTRIBUTE>& t, std::initializer_list<CK_ATTRIBUTE_TYPE> types) {
        t.erase(std::remove_if(t.begin(), t.end(), [&](const CK_ATTRIBUTE& a) { return among(a.type, types); }),
                t.end());
    };
    if (mechanism != CKM_RSA_PKCS_KEY_PAIR_GEN) {
        drop(publicTemplate, {CKA_ENCRYPT, CKA_WRAP});
        drop(privateTemplate, {CKA_DECRYPT, CKA_UNWRAP});
    }
    if (mechanism == CKM_DH_PKCS_KEY_PAIR_GEN) {
        drop(publicTemplate, {CKA_VERIFY});
        drop(privateTemplate, {CKA_SIGN});
    }
    if (mechanism == CKM_RSA_PKCS_KEY_PAIR_GEN || mechanism == CKM_DSA_KEY_PAIR_GEN ||
        mechanism == CKM_EC_EDWARDS_KEY_PAIR_GEN) {
        drop(publicTemplate, {CKA_DERIVE});
        drop(privateTemplate, {CKA_DERIVE});
    }
    CK_MECHANISM generate{mechanism, nullptr, 0};
    return m_p11->C_GenerateKeyPair(m_session, &generate, publicTemplate.data(), publicTemplate.size(),
                                    privateTemplate.data(), privateTemplate.size(), &pair.publicKey, &pair.privateKey);
}

const CMechanismWalk::Pair& CMechanismWalk::rsa()
{
    Pair& pair = m_pairs["rsa"];
    if (pair.publicKey == CK_INVALID_HANDLE) {
        CK_ULONG bits = 2048;
        makePair(CKM_RSA_PKCS_KEY_PAIR_GEN, {{CKA_MODULUS_BITS, &bits, sizeof bits}, {CKA_PUBLIC_EXPONENT, kF4, 3}},
                 pair);
    }
    return pair;
}

const CMechanismWalk::Pair& CMechanismWalk::ec(bool peer)
{
    Pair& pair = m_pairs[peer ? "ec peer" : "ec"];
    if (pair.publicKey == CK_INVALID_HANDLE) {
        makePair(CKM_EC_KEY_PAIR_GEN, {{CKA_EC_PARAMS, kP256, sizeof kP256}}, pair);
    }
    return pair;
}

const CMechanismWalk::Pair& CMechanismWalk::ed()
{
    Pair& pair = m_pairs["ed"];
    if (pair.publicKey == CK_INVALID_HANDLE) {
        makePair(CKM_EC_EDWARDS_KEY_PAIR_GEN, {{CKA_EC_PARAMS, kEd25519, sizeof kEd25519}}, pair);
    }
    return pair;
}

const CMechanismWalk::Pair& CMechanismWalk::dsa()
{
    Pair& pair = m_pairs["dsa"];
    if (pair.publicKey == CK_INVALID_HANDLE) {
        CK_ULONG bits = 1024;
        CK_OBJECT_CLASS cls = CKO_DOMAIN_PARAMETERS;
        CK_KEY_TYPE type = CKK_DSA;
        CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                            {CKA_KEY_TYPE, &type, sizeof type},
                            {CKA_TOKEN, &kFalse, 1},
                            {CKA_PRIME_BITS, &bits, sizeof bits}};
        CK_MECHANISM generate{CKM_DSA_PARAMETER_GEN, nullptr, 0};
        CK_OBJECT_HANDLE domain = CK_INVALID_HANDLE;
        if (m_p11->C_GenerateKey(m_session, &generate, t, 4, &domain) != CKR_OK) {
            return pair;
        }
        Bytes p = attribute(domain, CKA_PRIME), q = attribute(domain, CKA_SUBPRIME), g = attribute(domain, CKA_BASE);
        makePair(CKM_DSA_KEY_PAIR_GEN,
                 {{CKA_PRIME, p.data(), p.size()}, {CKA_SUBPRIME, q.data(), q.size()}, {CKA_BASE, g.data(), g.size()}},
                 pair);
    }
    return pair;
}

const CMechanismWalk::Pair& CMechanismWalk::dh(bool peer)
{
    Pair& pair = m_pairs[peer ? "dh peer" : "dh"];
    if (pair.publicKey == CK_INVALID_HANDLE) {
        makePair(CKM_DH_PKCS_KEY_PAIR_GEN,
                 {{CKA_PRIME, const_cast<CK_BYTE*>(kOakley2), sizeof kOakley2}, {CKA_BASE, kTwo, sizeof kTwo}}, pair);
    }
    return pair;
}

CK_OBJECT_HANDLE CMechanismWalk::secret(CK_KEY_TYPE type, size_t length)
{
    CK_OBJECT_HANDLE& key = m_secrets[{type, length}];
    if (key == CK_INVALID_HANDLE) {
        Bytes value(length);
        for (size_t i = 0; i < length; ++i) {
            value[i] = static_cast<CK_BYTE>(0x3B + 29 * i);
        }
        std::vector<CK_ATTRIBUTE> t = {{CKA_CLASS, &kSecretClass, sizeof kSecretClass},
                                       {CKA_KEY_TYPE, &type, sizeof type},
                                       {CKA_TOKEN, &kFalse, 1},
                                       {CKA_SENSITIVE, &kFalse, 1},
                                       {CKA_EXTRACTABLE, &kTrue, 1},
                                       {CKA_ENCRYPT, &kTrue, 1},
                                       {CKA_DECRYPT, &kTrue, 1},
                                       {CKA_SIGN, &kTrue, 1},
                                       {CKA_VERIFY, &kTrue, 1},
                                       {CKA_WRAP, &kTrue, 1},
                                       {CKA_UNWRAP, &kTrue, 1},
                                       {CKA_DERIVE, &kTrue, 1},
                                       {CKA_VALUE, value.data(), value.size()}};
        m_p11->C_CreateObject(m_session, t.data(), t.size(), &key);
    }
    return key;
}

bool CMechanismWalk::keysFor(CK_MECHANISM_TYPE mechanism, Pair& keys)
{
    CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
    switch (familyOf(mechanism)) {
    case Family::Rsa:
        keys = rsa();
        return true;
    case Family::Dsa:
        keys = dsa();
        return true;
    case Family::Ec:
        keys = ec();
        return true;
    case Family::Ed:
        keys = ed();
        return true;
    case Family::Dh:
        keys = dh();
        return true;
    case Family::Hmac:
        key = secret(CKK_GENERIC_SECRET, 64);
        break;
    case Family::Aes:
        key = secret(CKK_AES, 32);
        break;
    case Family::Des:
        key = secret(CKK_DES, 8);
        break;
    case Family::Des3:
        key = secret(CKK_DES3, 24);
        break;
    case Family::None:
        return false;
    }
    keys = Pair{key, key};
    return true;
}

CMechanismWalk::Bytes CMechanismWalk::attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type)
{
    CK_ATTRIBUTE a{type, nullptr, 0};
    if (m_p11->C_GetAttributeValue(m_session, object, &a, 1) != CKR_OK || a.ulValueLen == CK_UNAVAILABLE_INFORMATION) {
        return {};
    }
    Bytes value(a.ulValueLen);
    a.pValue = value.data();
    m_p11->C_GetAttributeValue(m_session, object, &a, 1);
    return value;
}

CK_MECHANISM CMechanismWalk::parameterFor(CK_MECHANISM_TYPE m)
{
    const Family family = familyOf(m);
    m_iv.assign(blockOf(family), 0x24);
    m_data.assign(32, 0x5A);
    if (among(m, {CKM_DES_CBC, CKM_DES_CBC_PAD, CKM_DES3_CBC, CKM_DES3_CBC_PAD, CKM_AES_CBC, CKM_AES_CBC_PAD})) {
        return {m, m_iv.data(), m_iv.size()};
    }
    for (const PssHash& pss : kPss) {
        if (pss.mechanism == m) {
            m_pss = {pss.hash, pss.mgf, pss.length};
            return {m, &m_pss, sizeof m_pss};
        }
    }
    switch (m) {
    case CKM_AES_CTR:
        m_ctr.ulCounterBits = 128;
        std::fill(std::begin(m_ctr.cb), std::end(m_ctr.cb), 0x42);
        return {m, &m_ctr, sizeof m_ctr};
    case CKM_AES_GCM:
        m_iv.assign(12, 0x24);
        m_gcm = {m_iv.data(), m_iv.size(), 96, nullptr, 0, 128};
        return {m, &m_gcm, sizeof m_gcm};
    case CKM_RSA_PKCS_OAEP:
        m_oaep = {CKM_SHA_1, CKG_MGF1_SHA1, CKZ_DATA_SPECIFIED, nullptr, 0};
        return {m, &m_oaep, sizeof m_oaep};
    case CKM_ECDH1_DERIVE: {
        const Bytes encoded = attribute(ec(true).publicKey, CKA_EC_POINT);
        m_peer.assign(encoded.size() > 2 ? encoded.begin() + 2 : encoded.end(), encoded.end());
        m_ecdh = {CKD_NULL, 0, nullptr, m_peer.size(), m_peer.data()};
        return {m, &m_ecdh, sizeof m_ecdh};
    }
    case CKM_DH_PKCS_DERIVE:
        m_peer = attribute(dh(true).publicKey, CKA_VALUE);
        return {m, m_peer.data(), m_peer.size()};
    case CKM_DES_ECB_ENCRYPT_DATA:
    case CKM_DES3_ECB_ENCRYPT_DATA:
    case CKM_AES_ECB_ENCRYPT_DATA:
        m_string = {m_data.data(), m_data.size()};
        return {m, &m_string, sizeof m_string};
    case CKM_DES_CBC_ENCRYPT_DATA:
    case CKM_DES3_CBC_ENCRYPT_DATA:
        std::fill(std::begin(m_desCbc.iv), std::end(m_desCbc.iv), 0x24);
        m_desCbc.pData = m_data.data();
        m_desCbc.length = m_data.size();
        return {m, &m_desCbc, sizeof m_desCbc};
    case CKM_AES_CBC_ENCRYPT_DATA:
        std::fill(std::begin(m_aesCbc.iv), std::end(m_aesCbc.iv), 0x24);
        m_aesCbc.pData = m_data.data();
        m_aesCbc.length = m_data.size();
        return {m, &m_aesCbc, sizeof m_aesCbc};
    default:
        return {m, nullptr, 0};
    }
}

std::string CMechanismWalk::exercise(CK_MECHANISM_TYPE mechanism, const CK_MECHANISM_INFO& info)
{
    std::string result;
    const auto run = [&](bool wanted, const std::string& outcome) {
        if (wanted && !outcome.empty()) {
            result += (result.empty() ? "" : "; ") + outcome;
        }
    };
    run(info.flags & CKF_DIGEST, info.flags & CKF_DIGEST ? digest(mechanism) : "");
    run(info.flags & CKF_GENERATE, info.flags & CKF_GENERATE ? generate(mechanism) : "");
    run(info.flags & CKF_GENERATE_KEY_PAIR, info.flags & CKF_GENERATE_KEY_PAIR ? generatePair(mechanism) : "");
    run(info.flags & (CKF_SIGN | CKF_VERIFY),
        info.flags & (CKF_SIGN | CKF_VERIFY) ? signVerify(mechanism, info.flags) : "");
    run(info.flags & (CKF_ENCRYPT | CKF_DECRYPT),
        info.flags & (CKF_ENCRYPT | CKF_DECRYPT) ? encryptDecrypt(mechanism, info.flags) : "");
    run(info.flags & (CKF_WRAP | CKF_UNWRAP),
        info.flags & (CKF_WRAP | CKF_UNWRAP) ? wrapUnwrap(mechanism, info.flags) : "");
    run(info.flags & CKF_DERIVE, info.flags & CKF_DERIVE ? derive(mechanism) : "");
    return result;
}

std::string CMechanismWalk::digest(CK_MECHANISM_TYPE mechanism)
{
    CK_MECHANISM m{mechanism, nullptr, 0};
    CK_BYTE data[] = {'a', 'b', 'c'};
    CK_BYTE out[64];
    CK_ULONG length = sizeof out;
    if (CK_RV rv = m_p11->C_DigestInit(m_session, &m); rv != CKR_OK) {
        return failed("digest init", rv);
    }
    CK_RV rv = m_p11->C_Digest(m_session, data, sizeof data, out, &length);
    return rv == CKR_OK ? "" : failed("digest", rv);
}

std::string CMechanismWalk::generate(CK_MECHANISM_TYPE mechanism)
{
    CK_ULONG bits = 1024;
    CK_ULONG length = 32;
    CK_OBJECT_CLASS domain = CKO_DOMAIN_PARAMETERS;
    CK_KEY_TYPE type = mechanism == CKM_DSA_PARAMETER_GEN ? CKK_DSA : CKK_DH;
    std::vector<CK_ATTRIBUTE> t = {{CKA_TOKEN, &kFalse, 1}};
    if (mechanism == CKM_DSA_PARAMETER_GEN || mechanism == CKM_DH_PKCS_PARAMETER_GEN) {
        t.insert(t.end(), {{CKA_CLASS, &domain, sizeof domain},
                           {CKA_KEY_TYPE, &type, sizeof type},
                           {CKA_PRIME_BITS, &bits, sizeof bits}});
    } else if (mechanism == CKM_AES_KEY_GEN || mechanism == CKM_GENERIC_SECRET_KEY_GEN) {
        t.push_back({CKA_VALUE_LEN, &length, sizeof length});
    }
    CK_MECHANISM m{mechanism, nullptr, 0};
    CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
    CK_RV rv = m_p11->C_GenerateKey(m_session, &m, t.data(), t.size(), &key);
    return rv == CKR_OK ? "" : failed("generate", rv);
}

std::string CMechanismWalk::generatePair(CK_MECHANISM_TYPE mechanism)
{
    const Pair* pair = nullptr;
    switch (mechanism) {
    case CKM_RSA_PKCS_KEY_PAIR_GEN:
        pair = &rsa();
        break;
    case CKM_EC_KEY_PAIR_GEN:
        pair = &ec();
        break;
    case CKM_EC_EDWARDS_KEY_PAIR_GEN:
        pair = &ed();
        break;
    case CKM_DSA_KEY_PAIR_GEN:
        pair = &dsa();
        break;
    case CKM_DH_PKCS_KEY_PAIR_GEN:
        pair = &dh();
        break;
    default:
        return "no key pair known";
    }
    return pair->privateKey != CK_INVALID_HANDLE ? "" : "generate pair failed";
}

std::string CMechanismWalk::signVerify(CK_MECHANISM_TYPE mechanism, CK_FLAGS flags)
{
    Pair keys;
    if (!keysFor(mechanism, keys) || keys.privateKey == CK_INVALID_HANDLE) {
        return "no key";
    }
    Bytes data(100, 0x61);
    if (among(mechanism, {CKM_RSA_PKCS, CKM_ECDSA, CKM_RSA_PKCS_PSS})) {
        data.assign(32, 0x61);
    } else if (mechanism == CKM_DSA) {
        data.assign(20, 0x61);
    } else if (mechanism == CKM_RSA_X_509) {
        data.assign(256, 0x61);
        data[0] = 0;
    }
    CK_MECHANISM m = parameterFor(mechanism);
    if (CK_RV rv = m_p11->C_SignInit(m_session, &m, keys.privateKey); rv != CKR_OK) {
        return failed("sign init", rv);
    }
    Bytes signature(512);
    CK_ULONG length = signature.size();
    if (CK_RV rv = m_p11->C_Sign(m_session, data.data(), data.size(), signature.data(), &length); rv != CKR_OK) {
        return failed("sign", rv);
    }
    if (!(flags & CKF_VERIFY)) {
        return "";
    }
    if (CK_RV rv = m_p11->C_VerifyInit(m_session, &m, keys.publicKey); rv != CKR_OK) {
        return failed("verify init", rv);
    }
    CK_RV rv = m_p11->C_Verify(m_session, data.data(), data.size(), signature.data(), length);
    return rv == CKR_OK ? "" : failed("verify", rv);
}

std::string CMechanismWalk::encryptDecrypt(CK_MECHANISM_TYPE mechanism, CK_FLAGS flags)
{
    Pair keys;
    if (!keysFor(mechanism, keys) || keys.publicKey == CK_INVALID_HANDLE) {
        return "no key";
    }
    const Family family = familyOf(mechanism);
    Bytes plain(32, 0x33);
    if (mechanism == CKM_RSA_X_509) {
        plain.assign(256, 0x33);
        plain[0] = 0;
    } else if (family != Family::Rsa &&
               among(mechanism, {CKM_DES_CBC_PAD, CKM_DES3_CBC_PAD, CKM_AES_CBC_PAD, CKM_AES_CTR, CKM_AES_GCM})) {
        plain.assign(33, 0x33);
    }
    CK_MECHANISM m = parameterFor(mechanism);
    if (CK_RV rv = m_p11->C_EncryptInit(m_session, &m, keys.publicKey); rv != CKR_OK) {
        return failed("encrypt init", rv);
    }
    Bytes cipher(600);
    CK_ULONG length = cipher.size();
    if (CK_RV rv = m_p11->C_Encrypt(m_session, plain.data(), plain.size(), cipher.data(), &length); rv != CKR_OK) {
        return failed("encrypt", rv);
    }
    if (!(flags & CKF_DECRYPT)) {
        return "";
    }
    m = parameterFor(mechanism);
    if (CK_RV rv = m_p11->C_DecryptInit(m_session, &m, keys.privateKey); rv != CKR_OK) {
        return failed("decrypt init", rv);
    }
    Bytes back(600);
    CK_ULONG backLength = back.size();
    if (CK_RV rv = m_p11->C_Decrypt(m_session, cipher.data(), length, back.data(), &backLength); rv != CKR_OK) {
        return failed("decrypt", rv);
    }
    back.resize(backLength);
    return back == plain ? "" : "decrypted text differs";
}

std::string CMechanismWalk::wrapUnwrap(CK_MECHANISM_TYPE mechanism, CK_FLAGS flags)
{
    Pair keys;
    if (!keysFor(mechanism, keys) || keys.publicKey == CK_INVALID_HANDLE) {
        return "no key";
    }
    const CK_OBJECT_HANDLE target = secret(CKK_AES, 16);
    CK_MECHANISM m = parameterFor(mechanism);
    Bytes wrapped(600);
    CK_ULONG length = wrapped.size();
    if (CK_RV rv = m_p11->C_WrapKey(m_session, &m, keys.publicKey, target, wrapped.data(), &length); rv != CKR_OK) {
        return failed("wrap", rv);
    }
    if (!(flags & CKF_UNWRAP)) {
        return "";
    }
    CK_KEY_TYPE type = CKK_AES;
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &kSecretClass, sizeof kSecretClass},
                        {CKA_KEY_TYPE, &type, sizeof type},
                        {CKA_TOKEN, &kFalse, 1},
                        {CKA_SENSITIVE, &kFalse, 1},
                        {CKA_EXTRACTABLE, &kTrue, 1}};
    CK_OBJECT_HANDLE unwrapped = CK_INVALID_HANDLE;
    m = parameterFor(mechanism);
    if (CK_RV rv = m_p11->C_UnwrapKey(m_session, &m, keys.privateKey, wrapped.data(), length, t, 5, &unwrapped);
        rv != CKR_OK) {
        return failed("unwrap", rv);
    }
    return attribute(unwrapped, CKA_VALUE) == attribute(target, CKA_VALUE) ? "" : "unwrapped key differs";
}

std::string CMechanismWalk::derive(CK_MECHANISM_TYPE mechanism)
{
    Pair keys;
    if (!keysFor(mechanism, keys) || keys.privateKey == CK_INVALID_HANDLE) {
        return "no key";
    }
    CK_KEY_TYPE type = CKK_GENERIC_SECRET;
    CK_ULONG length = 16;
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &kSecretClass, sizeof kSecretClass},
                        {CKA_KEY_TYPE, &type, sizeof type},
                        {CKA_TOKEN, &kFalse, 1},
                        {CKA_VALUE_LEN, &length, sizeof length}};
    CK_MECHANISM m = parameterFor(mechanism);
    CK_OBJECT_HANDLE derived = CK_INVALID_HANDLE;
    CK_RV rv = m_p11->C_DeriveKey(m_session, &m, keys.privateKey, t, 4, &derived);
    return rv == CKR_OK ? "" : failed("derive", rv);
}

}  // namespace vexa::test
