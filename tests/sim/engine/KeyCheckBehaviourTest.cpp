// The token's own checks before an operation reaches its engine: the key's
// type for the mechanism at the start, the lengths of data, ciphertext and
// signature against the key at each call. Requests that passed unchecked
// once took the whole simulator down.
#include "TokenBehaviour.h"

namespace vexa::test::engine {
namespace {

const Bytes kIv(16, 0x24);

enum class Key { RsaPublic, RsaPrivate, EcPublic, EcPrivate, Aes, Hmac };

// One key of each kind, session objects of the first session; RSA with 1024
// bits (128-byte modulus), EC on P-256 (32-byte order).
struct Keys {
    uint32_t rsaPublic = 0, rsaPrivate = 0, ecPublic = 0, ecPrivate = 0, aes = 0, hmac = 0;

    uint32_t operator[](Key k) const
    {
        switch (k) {
        case Key::RsaPublic:
            return rsaPublic;
        case Key::RsaPrivate:
            return rsaPrivate;
        case Key::EcPublic:
            return ecPublic;
        case Key::EcPrivate:
            return ecPrivate;
        case Key::Aes:
            return aes;
        default:
            return hmac;
        }
    }
};

constexpr size_t kModulus = 128;

Keys makeKeys(TokenClient& token, uint32_t s)
{
    Keys k;
    Response rsa = token.call(fn::GenerateKeyPair, s, [](Request& r) {
        r.mechanism = mechanism(CKM_RSA_PKCS_KEY_PAIR_GEN);
        r.templ = {number(CKA_MODULUS_BITS, 1024), bytes(CKA_PUBLIC_EXPONENT, {1, 0, 1}), flag(CKA_ENCRYPT, true),
                   flag(CKA_VERIFY, true), flag(CKA_WRAP, true)};
        r.templ2 = {flag(CKA_DECRYPT, true), flag(CKA_SIGN, true), flag(CKA_UNWRAP, true)};
    });
    require(rsa, "RSA key pair");
    k.rsaPublic = *rsa.handle;
    k.rsaPrivate = *rsa.handle2;
    std::tie(k.ecPublic, k.ecPrivate) = token.generateEcKeyPair(s);
    k.aes = token.generateAesKey(s, {flag(CKA_WRAP, true), flag(CKA_UNWRAP, true), flag(CKA_DERIVE, true)});
    Response hmac = token.call(fn::GenerateKey, s, [](Request& r) {
        r.mechanism = mechanism(CKM_GENERIC_SECRET_KEY_GEN);
        r.templ = {number(CKA_VALUE_LEN, 32), flag(CKA_SIGN, true), flag(CKA_VERIFY, true)};
    });
    require(hmac, "HMAC key");
    k.hmac = *hmac.handle;
    return k;
}

// The mechanism as the library sends it, with a usable parameter.
WireMechanism usable(CK_MECHANISM_TYPE type)
{
    if (type == CKM_AES_CBC) {
        return mechanism(type, kIv);
    }
    WireMechanism m = mechanism(type);
    if (type == CKM_RSA_PKCS_OAEP) {
        m.parameter.reset();
        m.oaep = vexa::wire::WireOaep{CKM_SHA_1, CKG_MGF1_SHA1, CKZ_DATA_SPECIFIED, std::nullopt, std::nullopt};
    }
    return m;
}

Response init(TokenClient& token, uint32_t s, uint32_t function, const WireMechanism& m, uint32_t key)
{
    return token.call(function, s, [&](Request& r) {
        r.mechanism = m;
        r.handle = key;
    });
}

TEST_P(TokenBehaviour, RequestsThatBroughtTheEngineDownAreRefused)
{
    uint32_t s = userSession();
    const Keys keys = makeKeys(token(), s);
    auto start = [&](uint32_t function, CK_MECHANISM_TYPE type, uint32_t key) {
        return init(token(), s, function, mechanism(type), key).rv;
    };
    auto withData = [](size_t length) {
        return [length](Request& r) {
            r.data = Bytes(length, 0x01);
            r.outputLength = 512;
        };
    };

    // Raw RSA on more bytes than the modulus holds.
    ASSERT_EQ(start(fn::EncryptInit, CKM_RSA_X_509, keys.rsaPublic), CKR_OK);
    EXPECT_EQ(call(fn::Encrypt, s, withData(kModulus + 1)).rv, CKR_DATA_LEN_RANGE);
    ASSERT_EQ(start(fn::SignInit, CKM_RSA_X_509, keys.rsaPrivate), CKR_OK);
    EXPECT_EQ(call(fn::Sign, s, withData(kModulus + 1)).rv, CKR_DATA_LEN_RANGE);
    // DSA with an RSA key, RSA with an EC key: refused at the start, so
    // nothing follows.
    EXPECT_EQ(start(fn::SignInit, CKM_DSA, keys.rsaPrivate), CKR_KEY_TYPE_INCONSISTENT);
    EXPECT_EQ(call(fn::Sign, s, withData(20)).rv, CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(start(fn::VerifyInit, CKM_MD5_RSA_PKCS, keys.ecPublic), CKR_KEY_TYPE_INCONSISTENT);
    EXPECT_EQ(call(fn::VerifyFinal, s, [](Request& r) { r.data = Bytes(); }).rv, CKR_OPERATION_NOT_INITIALIZED);

    // The token, and the session, still work.
    ASSERT_EQ(start(fn::SignInit, CKM_RSA_PKCS, keys.rsaPrivate), CKR_OK);
    Response signature = call(fn::Sign, s, withData(20));
    ASSERT_EQ(signature.rv, CKR_OK);
    EXPECT_EQ(signature.output->size(), kModulus);
    EXPECT_EQ(call(fn::GetTokenInfo, 0).rv, CKR_OK);
}

TEST_P(TokenBehaviour, OperationsStartOnlyWithAKeyOfTheMechanismsType)
{
    uint32_t first = userSession();
    const Keys keys = makeKeys(token(), first);
    struct Case {
        const char* what;
        uint32_t function;
        WireMechanism mechanism;
        Key key;
        CK_RV rv;
    } cases[] = {
        {"RSA encryption with the public key", fn::EncryptInit, usable(CKM_RSA_PKCS), Key::RsaPublic, CKR_OK},
        {"RSA encryption with an EC key", fn::EncryptInit, usable(CKM_RSA_PKCS), Key::EcPublic,
         CKR_KEY_TYPE_INCONSISTENT},
        {"RSA encryption with the private key", fn::EncryptInit, usable(CKM_RSA_PKCS), Key::RsaPrivate,
         CKR_KEY_TYPE_INCONSISTENT},
        {"OAEP decryption with an AES key", fn::DecryptInit, usable(CKM_RSA_PKCS_OAEP), Key::Aes,
         CKR_KEY_TYPE_INCONSISTENT},
        {"AES decryption with an RSA key", fn::DecryptInit, usable(CKM_AES_CBC), Key::RsaPrivate,
         CKR_KEY_TYPE_INCONSISTENT},
        {"ECDSA with the EC key", fn::SignInit, usable(CKM_ECDSA), Key::EcPrivate, CKR_OK},
        {"ECDSA with an RSA key", fn::SignInit, usable(CKM_ECDSA), Key::RsaPrivate, CKR_KEY_TYPE_INCONSISTENT},
        {"DSA verification with an EC key", fn::VerifyInit, usable(CKM_DSA_SHA1), Key::EcPublic,
         CKR_KEY_TYPE_INCONSISTENT},
        {"hashed RSA signature with an HMAC key", fn::SignInit, usable(CKM_SHA256_RSA_PKCS), Key::Hmac,
         CKR_KEY_TYPE_INCONSISTENT},
        {"HMAC with a generic secret", fn::SignInit, usable(CKM_SHA256_HMAC), Key::Hmac, CKR_OK},
        {"HMAC with an AES key", fn::SignInit, usable(CKM_SHA256_HMAC), Key::Aes, CKR_KEY_TYPE_INCONSISTENT},
        {"a digest to sign", fn::SignInit, usable(CKM_SHA256), Key::RsaPrivate, CKR_MECHANISM_INVALID},
        {"a signature to encrypt", fn::EncryptInit, usable(CKM_SHA256_RSA_PKCS), Key::RsaPublic, CKR_MECHANISM_INVALID},
        {"AES-CBC with a 16-byte IV", fn::EncryptInit, usable(CKM_AES_CBC), Key::Aes, CKR_OK},
        {"AES-CBC with an 8-byte IV", fn::EncryptInit, mechanism(CKM_AES_CBC, Bytes(8, 1)), Key::Aes,
         CKR_MECHANISM_PARAM_INVALID},
        {"OAEP without its parameter", fn::EncryptInit, mechanism(CKM_RSA_PKCS_OAEP), Key::RsaPublic,
         CKR_MECHANISM_PARAM_INVALID},
    };
    for (const Case& c : cases) {
        // A session of its own: an operation that starts stays active.
        uint32_t s = token().openSession();
        EXPECT_EQ(init(token(), s, c.function, c.mechanism, keys[c.key]).rv, c.rv) << c.what;
    }
}

TEST_P(TokenBehaviour, WrappingDerivingAndDigestingCheckTheirKeys)
{
    uint32_t s = userSession();
    const Keys keys = makeKeys(token(), s);
    Response wrap = call(fn::WrapKey, s, [&](Request& r) {
        r.mechanism = mechanism(CKM_AES_KEY_WRAP);
        r.handle = keys.aes;
        r.handle2 = keys.rsaPublic;
        r.outputLength = 512;
    });
    EXPECT_EQ(wrap.rv, CKR_WRAPPING_KEY_TYPE_INCONSISTENT);
    auto unwrap = [&](uint32_t key, size_t length) {
        return call(fn::UnwrapKey, s, [&](Request& r) {
            r.mechanism = mechanism(CKM_RSA_PKCS);
            r.handle = key;
            r.data = Bytes(length, 0x01);
            r.templ = {number(CKA_CLASS, CKO_SECRET_KEY), number(CKA_KEY_TYPE, CKK_AES)};
        });
    };
    EXPECT_EQ(unwrap(keys.aes, kModulus).rv, CKR_UNWRAPPING_KEY_TYPE_INCONSISTENT);
    EXPECT_EQ(unwrap(keys.rsaPrivate, kModulus - 1).rv, CKR_WRAPPED_KEY_LEN_RANGE);

    WireMechanism ecdh = mechanism(CKM_ECDH1_DERIVE);
    ecdh.parameter.reset();
    ecdh.ecdh1 = vexa::wire::WireEcdh1{CKD_NULL, std::nullopt, token().attribute(s, keys.ecPublic, CKA_EC_POINT)};
    Response derived = call(fn::DeriveKey, s, [&](Request& r) {
        r.mechanism = ecdh;
        r.handle = keys.rsaPrivate;
        r.templ = {number(CKA_CLASS, CKO_SECRET_KEY), number(CKA_KEY_TYPE, CKK_GENERIC_SECRET),
                   number(CKA_VALUE_LEN, 32)};
    });
    EXPECT_EQ(derived.rv, CKR_KEY_TYPE_INCONSISTENT);

    // Only a secret key's value may go into a digest.
    ASSERT_EQ(call(fn::DigestInit, s, [](Request& r) { r.mechanism = mechanism(CKM_SHA256); }).rv, CKR_OK);
    EXPECT_EQ(call(fn::DigestKey, s, [&](Request& r) { r.handle = keys.ecPrivate; }).rv, CKR_KEY_INDIGESTIBLE);
    EXPECT_EQ(call(fn::DigestKey, s, [&](Request& r) { r.handle = keys.aes; }).rv, CKR_OK);
}

// Each refused call ends its operation, as any failed call of these does:
// the session can start the next one at once.
TEST_P(TokenBehaviour, LengthsOutsideTheKeysRangeAreRefusedAndEndTheOperation)
{
    uint32_t first = userSession();
    const Keys keys = makeKeys(token(), first);
    struct Case {
        const char* what;
        uint32_t init;
        CK_MECHANISM_TYPE mechanism;
        Key key;
        uint32_t function;
        size_t data;    // of C_Encrypt, C_Sign, C_Verify
        size_t sealed;  // ciphertext of C_Decrypt, signature of C_Verify and C_VerifyFinal
        CK_RV rv;
    } cases[] = {
        {"PKCS #1 encryption of k - 11 bytes", fn::EncryptInit, CKM_RSA_PKCS, Key::RsaPublic, fn::Encrypt,
         kModulus - 11, 0, CKR_OK},
        {"PKCS #1 encryption of k - 10 bytes", fn::EncryptInit, CKM_RSA_PKCS, Key::RsaPublic, fn::Encrypt,
         kModulus - 10, 0, CKR_DATA_LEN_RANGE},
        {"raw RSA encryption of k + 1 bytes", fn::EncryptInit, CKM_RSA_X_509, Key::RsaPublic, fn::Encrypt, kModulus + 1,
         0, CKR_DATA_LEN_RANGE},
        {"OAEP-SHA1 encryption of k - 41 bytes", fn::EncryptInit, CKM_RSA_PKCS_OAEP, Key::RsaPublic, fn::Encrypt,
         kModulus - 41, 0, CKR_DATA_LEN_RANGE},
        {"PKCS #1 decryption of k - 1 bytes", fn::DecryptInit, CKM_RSA_PKCS, Key::RsaPrivate, fn::Decrypt, 0,
         kModulus - 1, CKR_ENCRYPTED_DATA_LEN_RANGE},
        {"raw RSA decryption of k + 1 bytes", fn::DecryptInit, CKM_RSA_X_509, Key::RsaPrivate, fn::Decrypt, 0,
         kModulus + 1, CKR_ENCRYPTED_DATA_LEN_RANGE},
        {"PKCS #1 signature of k - 10 bytes", fn::SignInit, CKM_RSA_PKCS, Key::RsaPrivate, fn::Sign, kModulus - 10, 0,
         CKR_DATA_LEN_RANGE},
        {"raw RSA verification of k + 1 bytes", fn::VerifyInit, CKM_RSA_X_509, Key::RsaPublic, fn::Verify, kModulus + 1,
         kModulus, CKR_DATA_LEN_RANGE},
        {"PKCS #1 signature of k - 1 bytes", fn::VerifyInit, CKM_RSA_PKCS, Key::RsaPublic, fn::Verify, 20, kModulus - 1,
         CKR_SIGNATURE_LEN_RANGE},
        {"hashed RSA signature of no bytes", fn::VerifyInit, CKM_SHA256_RSA_PKCS, Key::RsaPublic, fn::VerifyFinal, 0, 0,
         CKR_SIGNATURE_LEN_RANGE},
        {"ECDSA signature of 63 bytes", fn::VerifyInit, CKM_ECDSA, Key::EcPublic, fn::Verify, 32, 63,
         CKR_SIGNATURE_LEN_RANGE},
        {"HMAC-SHA256 of 31 bytes", fn::VerifyInit, CKM_SHA256_HMAC, Key::Hmac, fn::VerifyFinal, 0, 31,
         CKR_SIGNATURE_LEN_RANGE},
    };
    for (const Case& c : cases) {
        uint32_t s = token().openSession();
        ASSERT_EQ(init(token(), s, c.init, usable(c.mechanism), keys[c.key]).rv, CKR_OK) << c.what;
        Response r = call(c.function, s, [&](Request& q) {
            if (c.function == fn::Decrypt || c.function == fn::VerifyFinal) {
                q.data = Bytes(c.sealed, 0x02);
            } else {
                q.data = Bytes(c.data, 0x01);
            }
            if (c.function == fn::Verify) {
                q.data2 = Bytes(c.sealed, 0x02);
            }
            q.outputLength = 512;
        });
        EXPECT_EQ(r.rv, c.rv) << c.what;
        if (c.rv != CKR_OK) {
            EXPECT_EQ(init(token(), s, c.init, usable(c.mechanism), keys[c.key]).rv, CKR_OK)
                << c.what << ": the refused call left the operation active";
        }
    }
}

// The engine takes any template on trust and computes with the key's numbers
// only later; a DH key without its private value took it down then.
TEST_P(TokenBehaviour, KeysWithoutTheirNumbersAreNotMade)
{
    uint32_t s = userSession();
    const WireAttribute prime = bytes(CKA_PRIME, Bytes(128, 0xC5));
    const WireAttribute base = bytes(CKA_BASE, {2});
    struct Case {
        const char* what;
        std::vector<WireAttribute> templ;
        CK_RV rv;
    } cases[] = {
        {"DH private key without its value",
         {number(CKA_CLASS, CKO_PRIVATE_KEY), number(CKA_KEY_TYPE, CKK_DH), prime, base},
         CKR_TEMPLATE_INCOMPLETE},
        {"DH private key with an empty value",
         {number(CKA_CLASS, CKO_PRIVATE_KEY), number(CKA_KEY_TYPE, CKK_DH), prime, base, bytes(CKA_VALUE, {})},
         CKR_ATTRIBUTE_VALUE_INVALID},
        {"RSA public key with an empty modulus",
         {number(CKA_CLASS, CKO_PUBLIC_KEY), number(CKA_KEY_TYPE, CKK_RSA), bytes(CKA_MODULUS, {}),
          bytes(CKA_PUBLIC_EXPONENT, {1, 0, 1})},
         CKR_ATTRIBUTE_VALUE_INVALID},
        {"EC public key without its point",
         {number(CKA_CLASS, CKO_PUBLIC_KEY), number(CKA_KEY_TYPE, CKK_EC),
          bytes(CKA_EC_PARAMS, {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07})},
         CKR_TEMPLATE_INCOMPLETE},
        {"DH public key with all its numbers",
         {number(CKA_CLASS, CKO_PUBLIC_KEY), number(CKA_KEY_TYPE, CKK_DH), prime, base, bytes(CKA_VALUE, {7})},
         CKR_OK},
        {"a data object with an empty value", {number(CKA_CLASS, CKO_DATA), bytes(CKA_VALUE, {})}, CKR_OK},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(call(fn::CreateObject, s, [&](Request& r) { r.templ = c.templ; }).rv, c.rv) << c.what;
    }
}

// A larger key takes minutes to make, during which the token serves nobody.
TEST_P(TokenBehaviour, KeysAreMadeOnlyInTheSizesATokenAffords)
{
    uint32_t s = userSession();
    auto rsa = [&](uint32_t bits) {
        return call(fn::GenerateKeyPair, s,
                    [&](Request& r) {
                        r.mechanism = mechanism(CKM_RSA_PKCS_KEY_PAIR_GEN);
                        r.templ = {number(CKA_MODULUS_BITS, bits), bytes(CKA_PUBLIC_EXPONENT, {1, 0, 1})};
                    })
            .rv;
    };
    EXPECT_EQ(rsa(8192), CKR_KEY_SIZE_RANGE);
    EXPECT_EQ(rsa(512), CKR_KEY_SIZE_RANGE);
    EXPECT_EQ(call(fn::GenerateKey, s,
                   [](Request& r) {
                       r.mechanism = mechanism(CKM_DH_PKCS_PARAMETER_GEN);
                       r.templ = {number(CKA_PRIME_BITS, 8192)};
                   })
                  .rv,
              CKR_ATTRIBUTE_VALUE_INVALID);
    auto secret = [&](uint32_t length) {
        return call(fn::GenerateKey, s,
                    [&](Request& r) {
                        r.mechanism = mechanism(CKM_GENERIC_SECRET_KEY_GEN);
                        r.templ = {number(CKA_VALUE_LEN, length)};
                    })
            .rv;
    };
    EXPECT_EQ(secret(64 << 20), CKR_ATTRIBUTE_VALUE_INVALID);
    EXPECT_EQ(secret(64), CKR_OK);
}

}  // namespace
}  // namespace vexa::test::engine
