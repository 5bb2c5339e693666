#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "CryptoFixture.h"

using namespace vexa::pkcs11;
using namespace vexa::test;

namespace {

using MechanismCall = std::function<CK_RV(CContext&, CK_SESSION_HANDLE, CK_MECHANISM&)>;

CK_BBOOL g_false = CK_FALSE;
CK_ATTRIBUTE g_template[] = {{CKA_TOKEN, &g_false, sizeof(g_false)}};
CK_BYTE g_wrapped[16] = {1, 2, 3};

struct CarriageCase {
    const char* name;
    uint32_t function;
    bool sendsLength;
    MechanismCall call;
};

void PrintTo(const CarriageCase& carriageCase, std::ostream* out) { *out << carriageCase.name; }

const CarriageCase kCarriageCases[] = {
    {"EncryptInit", 2, true,
     [](CContext& c, CK_SESSION_HANDLE s, CK_MECHANISM& m) { return c.C_EncryptInit(s, &m, 3); }},
    {"DecryptInit", 4, true,
     [](CContext& c, CK_SESSION_HANDLE s, CK_MECHANISM& m) { return c.C_DecryptInit(s, &m, 3); }},
    {"DigestInit", 29, false, [](CContext& c, CK_SESSION_HANDLE s, CK_MECHANISM& m) { return c.C_DigestInit(s, &m); }},
    {"SignInit", 21, true, [](CContext& c, CK_SESSION_HANDLE s, CK_MECHANISM& m) { return c.C_SignInit(s, &m, 3); }},
    {"VerifyInit", 23, true,
     [](CContext& c, CK_SESSION_HANDLE s, CK_MECHANISM& m) { return c.C_VerifyInit(s, &m, 3); }},
    {"GenerateKey", 1, false,
     [](CContext& c, CK_SESSION_HANDLE s, CK_MECHANISM& m) {
         CK_OBJECT_HANDLE key = 0;
         return c.C_GenerateKey(s, &m, g_template, 1, &key);
     }},
    {"GenerateKeyPair", 15, false,
     [](CContext& c, CK_SESSION_HANDLE s, CK_MECHANISM& m) {
         CK_OBJECT_HANDLE publicKey = 0;
         CK_OBJECT_HANDLE privateKey = 0;
         return c.C_GenerateKeyPair(s, &m, g_template, 1, g_template, 1, &publicKey, &privateKey);
     }},
    {"WrapKey", 43, true,
     [](CContext& c, CK_SESSION_HANDLE s, CK_MECHANISM& m) {
         CK_BYTE out[64];
         CK_ULONG length = sizeof(out);
         return c.C_WrapKey(s, &m, 4, 5, out, &length);
     }},
    {"UnwrapKey", 44, true,
     [](CContext& c, CK_SESSION_HANDLE s, CK_MECHANISM& m) {
         CK_OBJECT_HANDLE key = 0;
         return c.C_UnwrapKey(s, &m, 4, g_wrapped, sizeof(g_wrapped), g_template, 1, &key);
     }},
    {"DeriveKey", 49, true,
     [](CContext& c, CK_SESSION_HANDLE s, CK_MECHANISM& m) {
         CK_OBJECT_HANDLE key = 0;
         return c.C_DeriveKey(s, &m, 4, g_template, 1, &key);
     }},
};

class MechanismCarriageTest : public CryptoFixture, public ::testing::WithParamInterface<CarriageCase> {};

TEST_P(MechanismCarriageTest, SendsTypeAndParameterBytes)
{
    CK_BYTE iv[16] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF};
    CK_MECHANISM mechanism{CKM_AES_CBC, iv, sizeof(iv)};
    ASSERT_EQ(GetParam().call(*context, session, mechanism), CKR_OK);
    const auto requests = sent();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].function, GetParam().function);
    EXPECT_EQ(requests[0].session, kTokenSession);
    ASSERT_TRUE(requests[0].mechanism);
    EXPECT_EQ(requests[0].mechanism->type, CKM_AES_CBC);
    EXPECT_EQ(requests[0].mechanism->parameter, Bytes(iv, iv + sizeof(iv)));
    EXPECT_EQ(requests[0].mechanism->parameterLength.has_value(), GetParam().sendsLength);
    if (GetParam().sendsLength) {
        EXPECT_EQ(*requests[0].mechanism->parameterLength, 16u);
    }
    EXPECT_FALSE(requests[0].mechanism->oaep);
    EXPECT_FALSE(requests[0].mechanism->ecdh1);
}

TEST_P(MechanismCarriageTest, TypeTravelsAsItsLow32Bits)
{
    CK_MECHANISM mechanism{0x100000000ULL | CKM_SHA256, nullptr, 0};
    ASSERT_EQ(GetParam().call(*context, session, mechanism), CKR_OK);
    const auto requests = sent();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].mechanism->type, CKM_SHA256);
    EXPECT_EQ(requests[0].mechanism->parameter, Bytes());
}

INSTANTIATE_TEST_SUITE_P(Functions, MechanismCarriageTest, ::testing::ValuesIn(kCarriageCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The structured way of the two init functions that use it for OAEP.
class OaepCarriageTest : public CryptoFixture, public ::testing::WithParamInterface<CarriageCase> {
protected:
    CK_RV initWith(CK_RSA_PKCS_OAEP_PARAMS& params, CK_ULONG length = sizeof(CK_RSA_PKCS_OAEP_PARAMS))
    {
        CK_MECHANISM mechanism{CKM_RSA_PKCS_OAEP, &params, length};
        return GetParam().call(*context, session, mechanism);
    }
};

TEST_P(OaepCarriageTest, TakesTheParameterBlockApart)
{
    CK_BYTE label[] = {'l', 'a', 'b', 'e', 'l'};
    CK_RSA_PKCS_OAEP_PARAMS params{0x100000000ULL | CKM_SHA256, CKG_MGF1_SHA256, CKZ_DATA_SPECIFIED, label,
                                   sizeof(label)};
    ASSERT_EQ(initWith(params), CKR_OK);
    const auto requests = sent();
    ASSERT_EQ(requests.size(), 1u);
    const WireMechanism& mechanism = *requests[0].mechanism;
    EXPECT_EQ(mechanism.type, CKM_RSA_PKCS_OAEP);
    EXPECT_FALSE(mechanism.parameter);
    EXPECT_FALSE(mechanism.parameterLength);
    ASSERT_TRUE(mechanism.oaep);
    EXPECT_EQ(mechanism.oaep->hashAlg, CKM_SHA256);
    EXPECT_EQ(mechanism.oaep->mgf, CKG_MGF1_SHA256);
    EXPECT_EQ(mechanism.oaep->source, CKZ_DATA_SPECIFIED);
    EXPECT_EQ(mechanism.oaep->sourceDataLength, 5u);
    EXPECT_EQ(mechanism.oaep->sourceData, Bytes(label, label + sizeof(label)));
}

TEST_P(OaepCarriageTest, WithoutSourceDataSendsNone)
{
    CK_RSA_PKCS_OAEP_PARAMS params{CKM_SHA_1, CKG_MGF1_SHA1, 0, nullptr, 0};
    ASSERT_EQ(initWith(params), CKR_OK);
    const WireMechanism mechanism = *sent().at(0).mechanism;
    ASSERT_TRUE(mechanism.oaep);
    EXPECT_FALSE(mechanism.oaep->sourceDataLength);
    EXPECT_FALSE(mechanism.oaep->sourceData);
}

TEST_P(OaepCarriageTest, RefusesBlocksThatDoNotHoldWhatTheyClaim)
{
    CK_BYTE label[] = {'x'};
    struct Refusal {
        const char* what;
        CK_RSA_PKCS_OAEP_PARAMS params;
        CK_ULONG length;
    };
    const Refusal refusals[] = {
        {"a block of 24 bytes", {CKM_SHA_1, CKG_MGF1_SHA1, 0, nullptr, 0}, 24},
        {"an empty block", {CKM_SHA_1, CKG_MGF1_SHA1, 0, nullptr, 0}, 0},
        {"source length without source data", {CKM_SHA_1, CKG_MGF1_SHA1, CKZ_DATA_SPECIFIED, nullptr, 3}, 40},
        {"source data without a length", {CKM_SHA_1, CKG_MGF1_SHA1, CKZ_DATA_SPECIFIED, label, 0}, 40},
    };
    for (const Refusal& refusal : refusals) {
        CK_RSA_PKCS_OAEP_PARAMS params = refusal.params;
        EXPECT_EQ(initWith(params, refusal.length), CKR_ARGUMENTS_BAD) << refusal.what;
    }
    EXPECT_EQ(exchanges(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Functions, OaepCarriageTest, ::testing::Values(kCarriageCases[0], kCarriageCases[1]),
                         [](const auto& info) { return std::string(info.param.name); });

class Ecdh1CarriageTest : public CryptoFixture {
protected:
    void SetUp() override
    {
        CryptoFixture::SetUp();
        reply(withHandles(CKR_OK, 0x51u));
    }

    CK_RV deriveWith(CK_ECDH1_DERIVE_PARAMS& params, CK_ULONG length = sizeof(CK_ECDH1_DERIVE_PARAMS))
    {
        CK_MECHANISM mechanism{CKM_ECDH1_DERIVE, &params, length};
        CK_OBJECT_HANDLE key = 0;
        return context->C_DeriveKey(session, &mechanism, 4, g_template, 1, &key);
    }
};

TEST_F(Ecdh1CarriageTest, SendsKdfAndPublicDataButNeverTheSharedData)
{
    CK_BYTE shared[] = {0x51, 0x52};
    CK_BYTE point[] = {0x04, 0x11, 0x22, 0x33};
    CK_ECDH1_DERIVE_PARAMS params{CKD_SHA256_KDF, sizeof(shared), shared, sizeof(point), point};
    ASSERT_EQ(deriveWith(params), CKR_OK);
    const auto requests = sent();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].function, 49u);
    EXPECT_EQ(requests[0].handle, 4u);
    const WireMechanism& mechanism = *requests[0].mechanism;
    EXPECT_EQ(mechanism.type, CKM_ECDH1_DERIVE);
    EXPECT_FALSE(mechanism.parameter);
    EXPECT_FALSE(mechanism.parameterLength);
    ASSERT_TRUE(mechanism.ecdh1);
    EXPECT_EQ(mechanism.ecdh1->kdf, CKD_SHA256_KDF);
    EXPECT_EQ(mechanism.ecdh1->publicData, Bytes(point, point + sizeof(point)));
    EXPECT_FALSE(mechanism.ecdh1->sharedData);
}

TEST_F(Ecdh1CarriageTest, WithoutPublicDataSendsOnlyTheKdf)
{
    CK_ECDH1_DERIVE_PARAMS params{CKD_NULL, 0, nullptr, 0, nullptr};
    ASSERT_EQ(deriveWith(params), CKR_OK);
    const WireMechanism mechanism = *sent().at(0).mechanism;
    ASSERT_TRUE(mechanism.ecdh1);
    EXPECT_EQ(mechanism.ecdh1->kdf, CKD_NULL);
    EXPECT_FALSE(mechanism.ecdh1->publicData);
}

TEST_F(Ecdh1CarriageTest, RefusesAWrongBlockSizeAndPublicDataWithoutLength)
{
    CK_BYTE point[] = {0x04};
    CK_ECDH1_DERIVE_PARAMS params{CKD_NULL, 0, nullptr, 0, nullptr};
    EXPECT_EQ(deriveWith(params, 24), CKR_ARGUMENTS_BAD);
    CK_ECDH1_DERIVE_PARAMS noLength{CKD_NULL, 0, nullptr, 0, point};
    EXPECT_EQ(deriveWith(noLength), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(exchanges(), 0u);
}

class MechanismTraceTest : public CryptoFixture {};

TEST_F(MechanismTraceTest, StructuredWayLogsTheTypeFirst)
{
    CK_MECHANISM ecdsa{CKM_ECDSA, nullptr, 0};
    ASSERT_EQ(context->C_EncryptInit(session, &ecdsa, 3), CKR_OK);
    EXPECT_TRUE(logged("Mechanism: 0x00001041"));
    CK_RSA_PKCS_OAEP_PARAMS params{CKM_SHA_1, CKG_MGF1_SHA1, 0, nullptr, 0};
    CK_MECHANISM shortOaep{CKM_RSA_PKCS_OAEP, &params, 24};
    EXPECT_EQ(context->C_DecryptInit(session, &shortOaep, 3), CKR_ARGUMENTS_BAD);
    EXPECT_TRUE(logged("Mechanism: 0x00000009"));
}

TEST_F(MechanismTraceTest, SignAndVerifyInitLogTypeAndParameterLength)
{
    CK_BYTE parameter[40] = {};
    CK_MECHANISM mechanism{CKM_ECDSA, parameter, sizeof(parameter)};
    ASSERT_EQ(context->C_SignInit(session, &mechanism, 3), CKR_OK);
    EXPECT_TRUE(logged("Mechanism: 0x00001041 Paramlen: 28"));
    EXPECT_FALSE(logged("C_SignInit")) << "C_SignInit writes no trace line";
    reply(status(CKR_KEY_TYPE_INCONSISTENT));
    EXPECT_EQ(context->C_VerifyInit(session, &mechanism, 3), CKR_KEY_TYPE_INCONSISTENT);
    EXPECT_TRUE(logged("C_VerifyInit"));
    EXPECT_TRUE(logged("SignVerifyInit returned 0x63"));
}

TEST_F(MechanismTraceTest, NothingAboveTraceWhenTheLevelIsHigher)
{
    context->log().setLogLevel(corvel::kLogDebug);
    CK_MECHANISM mechanism{CKM_ECDSA, nullptr, 0};
    ASSERT_EQ(context->C_SignInit(session, &mechanism, 3), CKR_OK);
    ASSERT_EQ(context->C_EncryptInit(session, &mechanism, 3), CKR_OK);
    EXPECT_FALSE(logged("Mechanism: 0x00001041 Paramlen: 0"));
    EXPECT_FALSE(logged("Mechanism: 0x00001041"));
}

}  // namespace
