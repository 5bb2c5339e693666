// The Bitcoin key service against the published BIP32 test vectors.
#include <fstream>
#include <nlohmann/json.hpp>

#include "Secp256k1Check.h"
#include "TokenBehaviour.h"

namespace vexa::test::engine {
namespace {

constexpr CK_RV kNoBitcoinKey = CKR_VENDOR_DEFINED + 1;
constexpr CK_RV kBitcoinKeyExists = CKR_VENDOR_DEFINED + 2;

struct Chain {
    std::vector<uint32_t> path;
    std::string chainCode, publicKey;
};
struct Vector {
    Bytes seed;
    std::vector<Chain> chains;
};

std::vector<Vector> loadVectors()
{
    std::ifstream in(VEXA_BIP32_VECTORS);
    nlohmann::json j = nlohmann::json::parse(in);
    std::vector<Vector> out;
    for (const auto& v : j.at("vectors")) {
        Vector vec{fromHex(v.at("seed").get<std::string>()), {}};
        for (const auto& c : v.at("chains")) {
            Chain chain{{}, c.at("chain_code"), c.at("public_key")};
            for (const auto& index : c.at("path")) {
                chain.path.push_back(static_cast<uint32_t>(std::stoul(index.get<std::string>())));
            }
            vec.chains.push_back(chain);
        }
        out.push_back(vec);
    }
    return out;
}

Bytes pathBytes(const std::vector<uint32_t>& path)
{
    Bytes out;
    for (uint32_t w : path) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            out.push_back(static_cast<uint8_t>(w >> shift));
        }
    }
    return out;
}

Response importSeed(TokenClient& t, uint32_t s, const Bytes& seed)
{
    return t.call(fn::ImportBitcoinKey, s, [&](Request& r) { r.data = seed; });
}

Response publicKey(TokenClient& t, uint32_t s, const std::vector<uint32_t>& path, uint32_t capacity = 65)
{
    return t.call(fn::GetBitcoinPub, s, [&](Request& r) {
        r.data = pathBytes(path);
        r.outputLength = capacity;
    });
}

Response sign(TokenClient& t, uint32_t s, const std::vector<uint32_t>& path, const Bytes& hash, uint32_t capacity = 80)
{
    return t.call(fn::SignBitcoinHash, s, [&](Request& r) {
        r.data = pathBytes(path);
        r.data2 = hash;
        r.outputLength = capacity;
    });
}

void removeKey(TokenClient& t, uint32_t s)
{
    for (uint32_t h : t.find(s, {bytes(CKA_LABEL, bytesOf("btc"))})) {
        require(t.call(fn::DestroyObject, s, [&](Request& r) { r.handle = h; }), "C_DestroyObject");
    }
}

TEST_P(TokenBehaviour, BitcoinVectorsThroughImportAndPublicKey)
{
    uint32_t s = userSession();
    for (const Vector& v : loadVectors()) {
        removeKey(token(), s);
        ASSERT_EQ(importSeed(token(), s, v.seed).rv, CKR_OK);
        for (const Chain& c : v.chains) {
            Response r = publicKey(token(), s, c.path);
            ASSERT_EQ(r.rv, CKR_OK);
            EXPECT_EQ(toHex(*r.output), c.publicKey) << "path of " << c.path.size() << " steps";
        }
    }
}

TEST_P(TokenBehaviour, BitcoinSignaturesVerifyWithTheDerivedPublicKey)
{
    uint32_t s = userSession();
    const Vector v = loadVectors().at(0);
    ASSERT_EQ(importSeed(token(), s, v.seed).rv, CKR_OK);
    const Bytes hash = fromHex("9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08");
    for (const Chain& c : {v.chains.front(), v.chains.back()}) {
        Response sig = sign(token(), s, c.path, hash);
        ASSERT_EQ(sig.rv, CKR_OK);
        EXPECT_TRUE(verifySecp256k1(fromHex(c.publicKey), hash, *sig.output));
        Bytes other = hash;
        other[0] ^= 1;
        EXPECT_FALSE(verifySecp256k1(fromHex(c.publicKey), other, *sig.output));
    }
    // Deterministic: the same hash and key give the same signature.
    EXPECT_EQ(sign(token(), s, {}, hash).output, sign(token(), s, {}, hash).output);
}

TEST_P(TokenBehaviour, BitcoinKeyServiceRefusals)
{
    uint32_t s = token().openSession();
    const Bytes seed = loadVectors().at(0).seed;
    EXPECT_EQ(importSeed(token(), s, seed).rv, CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(publicKey(token(), s, {}).rv, CKR_USER_NOT_LOGGED_IN);
    token().login(s);
    EXPECT_EQ(publicKey(token(), s, {}).rv, kNoBitcoinKey);

    struct Case {
        const char* what;
        Bytes seed;
        CK_RV rv;
    } imports[] = {
        {"seed of 15 bytes", Bytes(15, 1), CKR_DATA_LEN_RANGE},
        {"seed of 65 bytes", Bytes(65, 1), CKR_DATA_LEN_RANGE},
        {"seed of 16 bytes", seed, CKR_OK},
        {"second import", Bytes(64, 2), kBitcoinKeyExists},
    };
    for (const Case& c : imports) {
        EXPECT_EQ(importSeed(token(), s, c.seed).rv, c.rv) << c.what;
    }

    Response small = publicKey(token(), s, {1}, 32);
    EXPECT_EQ(small.rv, CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(small.outputLength, 33u);
    EXPECT_FALSE(small.output);
    EXPECT_EQ(call(fn::GetBitcoinPub, s,
                   [](Request& r) {
                       r.data = Bytes(5, 0);
                       r.outputLength = 33;
                   })
                  .rv,
              CKR_ARGUMENTS_BAD);
    EXPECT_EQ(sign(token(), s, {}, Bytes(31, 1)).rv, CKR_DATA_LEN_RANGE);
    Response tightSig = sign(token(), s, {}, Bytes(32, 1), 8);
    EXPECT_EQ(tightSig.rv, CKR_BUFFER_TOO_SMALL);
    EXPECT_GE(tightSig.outputLength.value_or(0), 70u);
    EXPECT_EQ(publicKey(token(), s + 500, {}).rv, CKR_SESSION_HANDLE_INVALID);
}

}  // namespace

}  // namespace vexa::test::engine
