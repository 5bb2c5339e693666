#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
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
    EXPECT_FALSE(requests[0].mechanism->gcm);
    EXPECT_FALSE(requests[0].mechanism->encryptData);
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

// Wrapping takes the block apart too: its source data pointer never travels.
INSTANTIATE_TEST_SUITE_P(Functions, OaepCarriageTest,
                         ::testing::Values(kCarriageCases[0], kCarriageCases[1], kCarriageCases[7], kCarriageCases[8]),
                         [](const auto& info) { return std::string(info.param.name); });

// Parameters that hold addresses and have no message of their own never
// travel: every function refuses them before it sends anything.
TEST_P(MechanismCarriageTest, AParameterThatMayHoldAddressesIsRefused)
{
    struct Refusal {
        const char* what;
        CK_MECHANISM_TYPE type;
        CK_ULONG length;
    };
    const Refusal refusals[] = {
        {"a mechanism that takes no parameter", CKM_ECDSA, 40},
        {"a CK_CCM_PARAMS", CKM_AES_CCM, 48},
        {"a vendor's mechanism", CKM_VENDOR_DEFINED | 1, 16},
    };
    CK_BYTE block[48] = {};
    for (const Refusal& refusal : refusals) {
        CK_MECHANISM mechanism{refusal.type, block, refusal.length};
        EXPECT_EQ(GetParam().call(*context, session, mechanism), CKR_MECHANISM_PARAM_INVALID) << refusal.what;
    }
    EXPECT_EQ(exchanges(), 0u);
}

class GcmCarriageTest : public CryptoFixture, public ::testing::WithParamInterface<CarriageCase> {};

TEST_P(GcmCarriageTest, CarriesIvAdditionalDataAndTagByValue)
{
    CK_BYTE iv[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    CK_BYTE aad[5] = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
    CK_GCM_PARAMS params{iv, sizeof iv, 96, aad, sizeof aad, 112};
    CK_MECHANISM mechanism{CKM_AES_GCM, &params, sizeof params};
    ASSERT_EQ(GetParam().call(*context, session, mechanism), CKR_OK);
    const WireMechanism m = *sent().at(0).mechanism;
    EXPECT_EQ(m.type, CKM_AES_GCM);
    EXPECT_FALSE(m.parameter) << "the block holds addresses";
    EXPECT_FALSE(m.parameterLength);
    ASSERT_TRUE(m.gcm);
    EXPECT_EQ(m.gcm->iv, Bytes(iv, iv + sizeof iv));
    EXPECT_EQ(m.gcm->ivBits, 96u);
    EXPECT_EQ(m.gcm->aad, Bytes(aad, aad + sizeof aad));
    EXPECT_EQ(m.gcm->tagBits, 112u);

    CK_GCM_PARAMS noAad{iv, sizeof iv, 96, nullptr, 0, 128};
    mechanism.pParameter = &noAad;
    ASSERT_EQ(GetParam().call(*context, session, mechanism), CKR_OK);
    const WireMechanism second = *sent().at(1).mechanism;
    ASSERT_TRUE(second.gcm);
    EXPECT_FALSE(second.gcm->aad);
}

TEST_P(GcmCarriageTest, RefusesBlocksThatDoNotHoldWhatTheyClaim)
{
    CK_BYTE iv[12] = {};
    struct Refusal {
        const char* what;
        CK_GCM_PARAMS params;
        CK_ULONG length;
    };
    const Refusal refusals[] = {
        {"a short block", {iv, sizeof iv, 96, nullptr, 0, 128}, sizeof(CK_GCM_PARAMS) - 8},
        {"no IV", {nullptr, 0, 0, nullptr, 0, 128}, sizeof(CK_GCM_PARAMS)},
        {"an IV length without the IV", {nullptr, 12, 96, nullptr, 0, 128}, sizeof(CK_GCM_PARAMS)},
        {"additional data length without the data", {iv, sizeof iv, 96, nullptr, 4, 128}, sizeof(CK_GCM_PARAMS)},
    };
    for (const Refusal& refusal : refusals) {
        CK_GCM_PARAMS params = refusal.params;
        CK_MECHANISM mechanism{CKM_AES_GCM, &params, refusal.length};
        EXPECT_EQ(GetParam().call(*context, session, mechanism), CKR_MECHANISM_PARAM_INVALID) << refusal.what;
    }
    EXPECT_EQ(exchanges(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Functions, GcmCarriageTest,
                         ::testing::Values(kCarriageCases[0], kCarriageCases[1], kCarriageCases[7], kCarriageCases[8]),
                         [](const auto& info) { return std::string(info.param.name); });

// Whether the 8 bytes of an address appear anywhere in a message.
bool holdsAddress(const std::vector<uint8_t>& message, const void* address)
{
    uint8_t bytes[sizeof address];
    std::memcpy(bytes, &address, sizeof address);
    return std::search(message.begin(), message.end(), std::begin(bytes), std::end(bytes)) != message.end();
}

// The parameters that hold addresses, through every function that takes a
// mechanism: no address of the caller's, of the block or inside it, is in
// any message the library sends.
TEST_P(MechanismCarriageTest, NoAddressOfTheCallersEverTravels)
{
    CK_BYTE iv[12] = {1};
    CK_BYTE aad[4] = {2};
    CK_BYTE data[16] = {3};
    CK_BYTE label[3] = {4};
    CK_GCM_PARAMS gcm{iv, sizeof iv, 96, aad, sizeof aad, 128};
    CK_AES_CBC_ENCRYPT_DATA_PARAMS cbcData{{5}, data, sizeof data};
    CK_KEY_DERIVATION_STRING_DATA ecbData{data, sizeof data};
    CK_RSA_PKCS_OAEP_PARAMS oaep{CKM_SHA_1, CKG_MGF1_SHA1, CKZ_DATA_SPECIFIED, label, sizeof label};
    CK_ECDH1_DERIVE_PARAMS ecdh{CKD_NULL, sizeof label, label, sizeof data, data};
    CK_MECHANISM mechanisms[] = {
        {CKM_AES_GCM, &gcm, sizeof gcm},
        {CKM_AES_CBC_ENCRYPT_DATA, &cbcData, sizeof cbcData},
        {CKM_AES_ECB_ENCRYPT_DATA, &ecbData, sizeof ecbData},
        {CKM_RSA_PKCS_OAEP, &oaep, sizeof oaep},
        {CKM_ECDH1_DERIVE, &ecdh, sizeof ecdh},
    };
    const void* addresses[] = {iv, aad, data, label, &gcm, &cbcData, &ecbData, &oaep, &ecdh};
    for (CK_MECHANISM& mechanism : mechanisms) {
        GetParam().call(*context, session, mechanism);
    }
    for (const std::vector<uint8_t>& message : token().requests) {
        for (const void* address : addresses) {
            EXPECT_FALSE(holdsAddress(message, address)) << address;
        }
    }
}

class EncryptDataCarriageTest : public CryptoFixture {
protected:
    CK_RV deriveWith(CK_MECHANISM mechanism)
    {
        CK_OBJECT_HANDLE key = 0;
        return context->C_DeriveKey(session, &mechanism, 4, g_template, 1, &key);
    }
};

TEST_F(EncryptDataCarriageTest, CarriesDataAndIvByValue)
{
    CK_BYTE data[24];
    for (size_t i = 0; i < sizeof data; ++i) {
        data[i] = static_cast<CK_BYTE>(0xC0 + i);
    }
    CK_KEY_DERIVATION_STRING_DATA ecb{data, sizeof data};
    CK_DES_CBC_ENCRYPT_DATA_PARAMS desCbc{{1, 2, 3, 4, 5, 6, 7, 8}, data, 16};
    CK_AES_CBC_ENCRYPT_DATA_PARAMS aesCbc{
        {0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF},
        data,
        sizeof data};
    struct Case {
        CK_MECHANISM mechanism;
        Bytes iv;
        size_t dataLength;
    };
    const Case cases[] = {
        {{CKM_DES_ECB_ENCRYPT_DATA, &ecb, sizeof ecb}, {}, sizeof data},
        {{CKM_DES_CBC_ENCRYPT_DATA, &desCbc, sizeof desCbc}, Bytes(desCbc.iv, desCbc.iv + 8), 16},
        {{CKM_DES3_ECB_ENCRYPT_DATA, &ecb, sizeof ecb}, {}, sizeof data},
        {{CKM_DES3_CBC_ENCRYPT_DATA, &desCbc, sizeof desCbc}, Bytes(desCbc.iv, desCbc.iv + 8), 16},
        {{CKM_AES_ECB_ENCRYPT_DATA, &ecb, sizeof ecb}, {}, sizeof data},
        {{CKM_AES_CBC_ENCRYPT_DATA, &aesCbc, sizeof aesCbc}, Bytes(aesCbc.iv, aesCbc.iv + 16), sizeof data},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].mechanism.mechanism);
        ASSERT_EQ(deriveWith(cases[i].mechanism), CKR_OK);
        const WireMechanism m = *sent().at(i).mechanism;
        EXPECT_EQ(m.type, cases[i].mechanism.mechanism);
        EXPECT_FALSE(m.parameter) << "the block holds an address";
        EXPECT_FALSE(m.parameterLength);
        ASSERT_TRUE(m.encryptData);
        EXPECT_EQ(m.encryptData->data, Bytes(data, data + cases[i].dataLength));
        EXPECT_EQ(m.encryptData->iv.value_or(Bytes()), cases[i].iv);
    }
}

TEST_F(EncryptDataCarriageTest, RefusesBlocksWithoutDataOrOfAnotherSize)
{
    CK_BYTE data[16] = {};
    CK_KEY_DERIVATION_STRING_DATA noData{nullptr, 16};
    CK_KEY_DERIVATION_STRING_DATA empty{data, 0};
    CK_AES_CBC_ENCRYPT_DATA_PARAMS aesCbc{{}, data, sizeof data};
    EXPECT_EQ(deriveWith({CKM_AES_ECB_ENCRYPT_DATA, &noData, sizeof noData}), CKR_MECHANISM_PARAM_INVALID);
    EXPECT_EQ(deriveWith({CKM_AES_ECB_ENCRYPT_DATA, &empty, sizeof empty}), CKR_MECHANISM_PARAM_INVALID);
    EXPECT_EQ(deriveWith({CKM_DES3_CBC_ENCRYPT_DATA, &aesCbc, sizeof aesCbc}), CKR_MECHANISM_PARAM_INVALID)
        << "an AES block for a DES3 derivation";
    EXPECT_EQ(deriveWith({CKM_AES_CBC_ENCRYPT_DATA, nullptr, 0}), CKR_MECHANISM_PARAM_INVALID);
    EXPECT_EQ(exchanges(), 0u);
}

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
    CK_RSA_PKCS_PSS_PARAMS parameter{CKM_SHA256, CKG_MGF1_SHA256, 32};
    CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS_PSS, &parameter, sizeof(parameter)};
    ASSERT_EQ(context->C_SignInit(session, &mechanism, 3), CKR_OK);
    EXPECT_TRUE(logged("Mechanism: 0x00000043 Paramlen: 18"));
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
