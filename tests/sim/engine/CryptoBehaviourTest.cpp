// Encryption, signatures, digests, key generation, wrapping and derivation.
#include "TokenBehaviour.h"

namespace vexa::test::engine {
namespace {

const Bytes kIv(16, 0x24);
const Bytes kPlain = bytesOf("the quick brown fox jumps over the lazy dog");

Bytes littleEndian64(std::initializer_list<uint64_t> words)
{
    Bytes out;
    for (uint64_t w : words) {
        for (int i = 0; i < 8; ++i) {
            out.push_back(static_cast<uint8_t>(w >> (8 * i)));
        }
    }
    return out;
}

TEST_P(TokenBehaviour, OutputLengthConvention)
{
    uint32_t s = userSession();
    uint32_t key = token().generateAesKey(s);
    auto init = [&] {
        ASSERT_EQ(call(fn::EncryptInit, s,
                       [&](Request& r) {
                           r.mechanism = mechanism(CKM_AES_CBC_PAD, kIv);
                           r.handle = key;
                       })
                      .rv,
                  CKR_OK);
    };
    init();
    auto encrypt = [&](std::function<void(Request&)> fill) {
        return call(fn::Encrypt, s, [&](Request& r) {
            r.data = kPlain;
            fill(r);
        });
    };
    // The size, then a buffer too small: neither ends the operation.
    Response query = encrypt([](Request& r) { r.lengthOnly = true; });
    ASSERT_EQ(query.rv, CKR_OK);
    EXPECT_EQ(query.outputLength, 48u);
    EXPECT_FALSE(query.output);
    Response small = encrypt([](Request& r) { r.outputLength = 47; });
    EXPECT_EQ(small.rv, CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(small.outputLength, 48u);
    EXPECT_FALSE(small.output);
    Response full = encrypt([](Request& r) { r.outputLength = 100; });
    ASSERT_EQ(full.rv, CKR_OK);
    EXPECT_EQ(full.outputLength, 48u);
    ASSERT_EQ(full.output->size(), 48u);

    ASSERT_EQ(call(fn::DecryptInit, s,
                   [&](Request& r) {
                       r.mechanism = mechanism(CKM_AES_CBC_PAD, kIv);
                       r.handle = key;
                   })
                  .rv,
              CKR_OK);
    Response plain = call(fn::Decrypt, s, [&](Request& r) {
        r.data = full.output;
        r.outputLength = 48;
    });
    ASSERT_EQ(plain.rv, CKR_OK);
    EXPECT_EQ(plain.output, kPlain);

    // Multi-part gives the same ciphertext.
    init();
    Bytes parts;
    for (size_t off = 0; off < kPlain.size(); off += 10) {
        Response part = call(fn::EncryptUpdate, s, [&](Request& r) {
            r.data = Bytes(kPlain.begin() + off, kPlain.begin() + std::min(off + 10, kPlain.size()));
            r.outputLength = 64;
        });
        ASSERT_EQ(part.rv, CKR_OK);
        parts.insert(parts.end(), part.output->begin(), part.output->end());
    }
    Response last = call(fn::EncryptFinal, s, [](Request& r) { r.outputLength = 64; });
    ASSERT_EQ(last.rv, CKR_OK);
    parts.insert(parts.end(), last.output->begin(), last.output->end());
    EXPECT_EQ(parts, *full.output);
}

TEST_P(TokenBehaviour, OutputsLargerThanAReplyEndTheOperation)
{
    uint32_t s = userSession();
    uint32_t key = token().generateAesKey(s);
    auto init = [&] {
        return call(fn::EncryptInit, s, [&](Request& r) {
            r.mechanism = mechanism(CKM_AES_ECB);
            r.handle = key;
        });
    };
    ASSERT_EQ(init().rv, CKR_OK);
    Response big = call(fn::Encrypt, s, [](Request& r) {
        r.data = Bytes(2016, 7);
        r.outputLength = 4096;
    });
    EXPECT_EQ(big.rv, CKR_DATA_LEN_RANGE);
    EXPECT_EQ(init().rv, CKR_OK);
}

TEST_P(TokenBehaviour, EcdsaSignAndVerify)
{
    uint32_t s = userSession();
    uint32_t pub = 0;
    uint32_t priv = 0;
    std::tie(pub, priv) = token().generateEcKeyPair(s);
    const Bytes hash(32, 0x5A);
    ASSERT_EQ(call(fn::SignInit, s,
                   [&](Request& r) {
                       r.mechanism = mechanism(CKM_ECDSA);
                       r.mechanism->parameterLength = 0;
                       r.handle = priv;
                   })
                  .rv,
              CKR_OK);
    Response small = call(fn::Sign, s, [&](Request& r) {
        r.data = hash;
        r.outputLength = 10;
    });
    EXPECT_EQ(small.rv, CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(small.outputLength, 64u);
    Response sig = call(fn::Sign, s, [&](Request& r) {
        r.data = hash;
        r.outputLength = 512;
    });
    ASSERT_EQ(sig.rv, CKR_OK);
    ASSERT_EQ(sig.output->size(), 64u);

    for (bool tamper : {false, true}) {
        Bytes signature = *sig.output;
        if (tamper) {
            signature[5] ^= 1;
        }
        ASSERT_EQ(call(fn::VerifyInit, s,
                       [&](Request& r) {
                           r.mechanism = mechanism(CKM_ECDSA);
                           r.handle = pub;
                       })
                      .rv,
                  CKR_OK);
        EXPECT_EQ(call(fn::Verify, s,
                       [&](Request& r) {
                           r.data = hash;
                           r.data2 = signature;
                       })
                      .rv,
                  tamper ? CKR_SIGNATURE_INVALID : CKR_OK);
    }
}

// PKCS#11: a final call ends the operation, whatever it returns (but
// CKR_BUFFER_TOO_SMALL and a length query). SoftHSM2 refuses the final of a
// mechanism that takes one block and keeps the operation; the token ends it.
TEST_P(TokenBehaviour, FinalCallEndsASinglePartOperation)
{
    uint32_t s = userSession();
    uint32_t pub = 0;
    uint32_t priv = 0;
    std::tie(pub, priv) = token().generateEcKeyPair(s);
    const struct {
        const char* name;
        uint32_t init;
        uint32_t final;
        uint32_t key;
    } cases[] = {
        {"sign", fn::SignInit, fn::SignFinal, priv},
        {"verify", fn::VerifyInit, fn::VerifyFinal, pub},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto init = [&] {
            return call(c.init, s,
                        [&](Request& r) {
                            r.mechanism = mechanism(CKM_ECDSA);
                            r.mechanism->parameterLength = 0;
                            r.handle = c.key;
                        })
                .rv;
        };
        // C_VerifyFinal with a signature of one byte, C_SignFinal as it is.
        const auto final = [&] {
            return call(c.final, s,
                        [&](Request& r) {
                            if (c.final == fn::VerifyFinal) {
                                r.data = Bytes(1, 0);
                            }
                        })
                .rv;
        };
        ASSERT_EQ(init(), CKR_OK);
        EXPECT_NE(final(), CKR_OK);
        EXPECT_EQ(init(), CKR_OK) << "the final call ended the operation";
        EXPECT_NE(final(), CKR_OK);
    }
}

TEST_P(TokenBehaviour, MultiPartMacAndDigest)
{
    uint32_t s = userSession();
    Response gen = call(fn::GenerateKey, s, [](Request& r) {
        r.mechanism = mechanism(CKM_GENERIC_SECRET_KEY_GEN);
        r.templ = {number(CKA_VALUE_LEN, 32), flag(CKA_SIGN, true), flag(CKA_VERIFY, true)};
    });
    ASSERT_EQ(gen.rv, CKR_OK);
    const Bytes message(4500, 'm');
    auto chunks = [&](uint32_t id) {
        for (size_t off = 0; off < message.size(); off += 2000) {
            Response r = call(id, s, [&](Request& q) {
                q.data = Bytes(message.begin() + off, message.begin() + std::min(off + 2000, message.size()));
            });
            ASSERT_EQ(r.rv, CKR_OK);
        }
    };
    ASSERT_EQ(call(fn::SignInit, s,
                   [&](Request& r) {
                       r.mechanism = mechanism(CKM_SHA256_HMAC);
                       r.handle = *gen.handle;
                   })
                  .rv,
              CKR_OK);
    chunks(fn::SignUpdate);
    Response mac = call(fn::SignFinal, s);  // the library sends no capacity here
    ASSERT_EQ(mac.rv, CKR_OK);
    ASSERT_EQ(mac.output->size(), 32u);

    ASSERT_EQ(call(fn::VerifyInit, s,
                   [&](Request& r) {
                       r.mechanism = mechanism(CKM_SHA256_HMAC);
                       r.handle = *gen.handle;
                   })
                  .rv,
              CKR_OK);
    chunks(fn::VerifyUpdate);
    EXPECT_EQ(call(fn::VerifyFinal, s, [&](Request& r) { r.data = mac.output; }).rv, CKR_OK);

    ASSERT_EQ(call(fn::DigestInit, s, [](Request& r) { r.mechanism = mechanism(CKM_SHA256); }).rv, CKR_OK);
    ASSERT_EQ(call(fn::DigestUpdate, s, [](Request& r) { r.data = bytesOf("abc"); }).rv, CKR_OK);
    Response size = call(fn::DigestFinal, s, [](Request& r) { r.lengthOnly = true; });
    EXPECT_EQ(size.outputLength, 32u);
    Response digest = call(fn::DigestFinal, s, [](Request& r) { r.outputLength = 32; });
    ASSERT_EQ(digest.rv, CKR_OK);
    EXPECT_EQ(toHex(*digest.output), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST_P(TokenBehaviour, RsaOaepFromTheStructuredParameter)
{
    uint32_t s = userSession();
    Response pair = call(fn::GenerateKeyPair, s, [](Request& r) {
        r.mechanism = mechanism(CKM_RSA_PKCS_KEY_PAIR_GEN);
        r.templ = {number(CKA_MODULUS_BITS, 1024), bytes(CKA_PUBLIC_EXPONENT, {1, 0, 1}), flag(CKA_ENCRYPT, true),
                   flag(CKA_WRAP, true)};
        r.templ2 = {flag(CKA_DECRYPT, true), flag(CKA_UNWRAP, true)};
    });
    ASSERT_EQ(pair.rv, CKR_OK);
    WireMechanism oaep = mechanism(CKM_RSA_PKCS_OAEP);
    oaep.parameter.reset();
    oaep.oaep = vexa::wire::WireOaep{CKM_SHA_1, CKG_MGF1_SHA1, CKZ_DATA_SPECIFIED, std::nullopt, std::nullopt};
    ASSERT_EQ(call(fn::EncryptInit, s,
                   [&](Request& r) {
                       r.mechanism = oaep;
                       r.handle = *pair.handle;
                   })
                  .rv,
              CKR_OK);
    Response cipher = call(fn::Encrypt, s, [&](Request& r) {
        r.data = kPlain;
        r.outputLength = 128;
    });
    ASSERT_EQ(cipher.rv, CKR_OK);
    ASSERT_EQ(call(fn::DecryptInit, s,
                   [&](Request& r) {
                       r.mechanism = oaep;
                       r.handle = *pair.handle2;
                   })
                  .rv,
              CKR_OK);
    Response plain = call(fn::Decrypt, s, [&](Request& r) {
        r.data = cipher.output;
        r.outputLength = 128;
    });
    ASSERT_EQ(plain.rv, CKR_OK);
    EXPECT_EQ(plain.output, kPlain);

    // The raw parameter block as wrap sends it: usable without source data,
    // refused when it points at source data in the sender's memory.
    uint32_t secret = token().generateAesKey(s, {flag(CKA_EXTRACTABLE, true)});
    for (uint64_t sourcePointer : {uint64_t(0), uint64_t(0x7ffd12345678)}) {
        Bytes raw =
            littleEndian64({CKM_SHA_1, CKG_MGF1_SHA1, CKZ_DATA_SPECIFIED, sourcePointer, sourcePointer ? 8u : 0u});
        Response wrapped = call(fn::WrapKey, s, [&](Request& r) {
            r.mechanism = mechanism(CKM_RSA_PKCS_OAEP, raw);
            r.mechanism->parameterLength = 40;
            r.handle = secret;
            r.handle2 = *pair.handle;
            r.outputLength = 128;
        });
        EXPECT_EQ(wrapped.rv, sourcePointer ? CKR_MECHANISM_PARAM_INVALID : CKR_OK);
    }
}

// GCM and the ENCRYPT_DATA derivations take their parameter only from its
// own message: a raw block would hold addresses of the sender's memory.
TEST_P(TokenBehaviour, ParametersThatHoldAddressesAreTakenOnlyByValue)
{
    uint32_t s = userSession();
    uint32_t key = token().generateAesKey(s, {flag(CKA_DERIVE, true)});
    const Bytes pointerBlock = littleEndian64({0x7ffd12345678, 12, 96, 0, 0, 128});
    const auto withGcm = [](std::optional<Bytes> iv, uint32_t tagBits) {
        WireMechanism m = mechanism(CKM_AES_GCM);
        m.parameter.reset();
        m.gcm = vexa::wire::WireGcm{std::move(iv), std::nullopt, std::nullopt, tagBits};
        return m;
    };
    const auto withData = [](CK_MECHANISM_TYPE type, std::optional<Bytes> iv, std::optional<Bytes> data) {
        WireMechanism m = mechanism(type);
        m.parameter.reset();
        m.encryptData = vexa::wire::WireEncryptData{std::move(iv), std::move(data)};
        return m;
    };
    struct Case {
        const char* what;
        uint32_t function;
        WireMechanism mechanism;
    };
    const Case cases[] = {
        {"a raw GCM block", fn::EncryptInit, mechanism(CKM_AES_GCM, pointerBlock)},
        {"GCM without an IV", fn::EncryptInit, withGcm(std::nullopt, 128)},
        {"a GCM tag of 136 bits", fn::DecryptInit, withGcm(Bytes(12, 1), 136)},
        {"a raw derivation block", fn::DeriveKey,
         mechanism(CKM_AES_ECB_ENCRYPT_DATA, littleEndian64({0x7ffd1000, 16}))},
        {"a derivation without data", fn::DeriveKey, withData(CKM_AES_ECB_ENCRYPT_DATA, std::nullopt, std::nullopt)},
        {"an AES CBC derivation with a DES IV", fn::DeriveKey,
         withData(CKM_AES_CBC_ENCRYPT_DATA, Bytes(8, 2), Bytes(16, 3))},
    };
    for (const Case& c : cases) {
        Response r = call(c.function, s, [&](Request& q) {
            q.mechanism = c.mechanism;
            q.handle = key;
            if (c.function == fn::DeriveKey) {
                q.templ = {number(CKA_CLASS, CKO_SECRET_KEY), number(CKA_KEY_TYPE, CKK_AES), number(CKA_VALUE_LEN, 16)};
            }
        });
        EXPECT_EQ(r.rv, CKR_MECHANISM_PARAM_INVALID) << c.what;
    }
}

TEST_P(TokenBehaviour, WrapAndUnwrapAnAesKey)
{
    uint32_t s = userSession();
    uint32_t wrapping = token().generateAesKey(s, {flag(CKA_WRAP, true), flag(CKA_UNWRAP, true)});
    uint32_t secret = token().generateAesKey(s, {flag(CKA_EXTRACTABLE, true), flag(CKA_SENSITIVE, false)});
    auto wrap = [&](std::function<void(Request&)> fill) {
        return call(fn::WrapKey, s, [&](Request& r) {
            r.mechanism = mechanism(CKM_AES_KEY_WRAP);
            r.mechanism->parameterLength = 0;
            r.handle = secret;
            r.handle2 = wrapping;
            fill(r);
        });
    };
    Response small = wrap([](Request& r) { r.outputLength = 0; });
    EXPECT_EQ(small.rv, CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(small.outputLength, 24u);
    Response wrapped = wrap([](Request& r) { r.outputLength = 24; });
    ASSERT_EQ(wrapped.rv, CKR_OK);
    ASSERT_EQ(wrapped.output->size(), 24u);
    EXPECT_EQ(call(fn::WrapKey, s,
                   [&](Request& r) {
                       r.mechanism = mechanism(CKM_AES_KEY_WRAP);
                       r.handle = secret;
                       r.handle2 = 0x7FFF;
                       r.outputLength = 24;
                   })
                  .rv,
              CKR_WRAPPING_KEY_HANDLE_INVALID);

    Response unwrapped = call(fn::UnwrapKey, s, [&](Request& r) {
        r.mechanism = mechanism(CKM_AES_KEY_WRAP);
        r.handle = wrapping;
        r.data = wrapped.output;
        r.templ = {number(CKA_CLASS, CKO_SECRET_KEY), number(CKA_KEY_TYPE, CKK_AES), flag(CKA_EXTRACTABLE, true),
                   flag(CKA_SENSITIVE, false)};
    });
    ASSERT_EQ(unwrapped.rv, CKR_OK);
    EXPECT_EQ(token().attribute(s, *unwrapped.handle, CKA_VALUE), token().attribute(s, secret, CKA_VALUE));
}

TEST_P(TokenBehaviour, EcdhDerivesTheSameSecretOnBothSides)
{
    uint32_t s = userSession();
    auto [pubA, privA] = token().generateEcKeyPair(s);
    auto [pubB, privB] = token().generateEcKeyPair(s);
    auto derive = [&](uint32_t priv, uint32_t otherPub) {
        WireMechanism m = mechanism(CKM_ECDH1_DERIVE);
        m.parameter.reset();
        m.ecdh1 = vexa::wire::WireEcdh1{CKD_NULL, std::nullopt, token().attribute(s, otherPub, CKA_EC_POINT)};
        Response r = call(fn::DeriveKey, s, [&](Request& q) {
            q.mechanism = m;
            q.handle = priv;
            q.templ = {number(CKA_CLASS, CKO_SECRET_KEY), number(CKA_KEY_TYPE, CKK_GENERIC_SECRET),
                       number(CKA_VALUE_LEN, 32), flag(CKA_SENSITIVE, false), flag(CKA_EXTRACTABLE, true)};
        });
        require(r, "C_DeriveKey");
        return token().attribute(s, *r.handle, CKA_VALUE);
    };
    Bytes ab = derive(privA, pubB);
    EXPECT_EQ(ab.size(), 32u);
    EXPECT_EQ(ab, derive(privB, pubA));
}

}  // namespace
}  // namespace vexa::test::engine
