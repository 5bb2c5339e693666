#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "CryptoFixture.h"
#include "FakeHidTransport.h"
#include "MechanismTables.h"

using namespace vexa::pkcs11;
using vexa::test::ContextFixture;
using vexa::test::CryptoFixture;

namespace {

class MechanismListTest : public CryptoFixture {};

TEST_F(MechanismListTest, NullListGivesTheCount)
{
    CK_ULONG count = 0;
    EXPECT_EQ(context->C_GetMechanismList(0, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 68u);
    EXPECT_EQ(exchanges(), 0u);
}

TEST_F(MechanismListTest, CopiesTheTypesInTheirOrder)
{
    std::vector<CK_MECHANISM_TYPE> list(70, 0xEEEE);
    CK_ULONG count = list.size();
    ASSERT_EQ(context->C_GetMechanismList(0, list.data(), &count), CKR_OK);
    EXPECT_EQ(count, 68u);
    EXPECT_EQ(list[0], CKM_SHA_1);
    EXPECT_EQ(list[10], CKM_RSA_PKCS_KEY_PAIR_GEN);
    EXPECT_EQ(list[35], CKM_AES_KEY_GEN);
    EXPECT_EQ(list[56], CKM_ECDH1_DERIVE);
    // Those listed later follow, so the 57 before keep their places.
    const std::vector<CK_MECHANISM_TYPE> later(list.begin() + 57, list.begin() + 68);
    const std::vector<CK_MECHANISM_TYPE> expected = {
        CKM_RSA_PKCS_PSS, CKM_ECDSA_SHA1, CKM_ECDSA_SHA224, CKM_ECDSA_SHA256,     CKM_ECDSA_SHA384,
        CKM_ECDSA_SHA512, CKM_AES_GCM,    CKM_AES_CMAC,     CKM_AES_KEY_WRAP_PAD, CKM_EC_EDWARDS_KEY_PAIR_GEN,
        CKM_EDDSA};
    EXPECT_EQ(later, expected);
    EXPECT_EQ(list[68], 0xEEEEu) << "nothing written past the 68 types";
    EXPECT_EQ(exchanges(), 0u);
}

TEST_F(MechanismListTest, RoomForOneLessIsTooSmall)
{
    std::vector<CK_MECHANISM_TYPE> list(67, 0xEEEE);
    CK_ULONG count = list.size();
    EXPECT_EQ(context->C_GetMechanismList(0, list.data(), &count), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 68u);
    EXPECT_EQ(list[0], 0xEEEEu);
}

TEST_F(MechanismListTest, SlotIsCheckedBeforeTheCountPointer)
{
    CK_ULONG count = 0;
    EXPECT_EQ(context->C_GetMechanismList(5, nullptr, &count), CKR_SLOT_ID_INVALID);
    EXPECT_EQ(context->C_GetMechanismList(5, nullptr, nullptr), CKR_SLOT_ID_INVALID);
    EXPECT_EQ(context->C_GetMechanismList(0, nullptr, nullptr), CKR_ARGUMENTS_BAD);
}

struct InfoCase {
    CK_MECHANISM_TYPE type;
    CK_ULONG minKeySize;
    CK_ULONG maxKeySize;
    CK_FLAGS flags;
};

void PrintTo(const InfoCase& infoCase, std::ostream* out) { *out << "0x" << std::hex << infoCase.type; }

class MechanismInfoTest : public CryptoFixture, public ::testing::WithParamInterface<InfoCase> {};

TEST_P(MechanismInfoTest, AnswersFromTheTable)
{
    CK_MECHANISM_INFO info{};
    ASSERT_EQ(context->C_GetMechanismInfo(0, GetParam().type, &info), CKR_OK);
    EXPECT_EQ(info.ulMinKeySize, GetParam().minKeySize);
    EXPECT_EQ(info.ulMaxKeySize, GetParam().maxKeySize);
    EXPECT_EQ(info.flags, GetParam().flags);
    EXPECT_EQ(exchanges(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Rows, MechanismInfoTest,
                         ::testing::Values(InfoCase{0x0, 1024, 4096, 0x10001}, InfoCase{0x1, 1024, 4096, 0x62B01},
                                           InfoCase{0x3, 1024, 4096, 0x2B01}, InfoCase{0x9, 1024, 4096, 0x60301},
                                           InfoCase{0x5, 1024, 4096, 0x2801}, InfoCase{0x47, 1024, 4096, 0x2801},
                                           InfoCase{0x20, 1024, 2048, 0x10001}, InfoCase{0x16, 1024, 2048, 0x2801},
                                           InfoCase{0x21, 1024, 2048, 0x80001}, InfoCase{0x2000, 1024, 2048, 0x8000},
                                           InfoCase{0x2001, 1024, 2048, 0x8001}, InfoCase{0x130, 0, 0, 0x8001},
                                           InfoCase{0x136, 0, 0, 0x301}, InfoCase{0x210, 0, 0, 0x401},
                                           InfoCase{0x270, 0, 0, 0x401}, InfoCase{0x211, 16, 512, 0x2801},
                                           InfoCase{0x261, 48, 512, 0x2801}, InfoCase{0x271, 64, 512, 0x2801},
                                           InfoCase{0x1040, 192, 521, 0x1910001}, InfoCase{0x1041, 192, 521, 0x1902801},
                                           InfoCase{0x1050, 192, 521, 0x80001}, InfoCase{0x1080, 16, 32, 0x8001},
                                           InfoCase{0x1086, 16, 32, 0x301}, InfoCase{0x108A, 16, 32, 0x2801},
                                           InfoCase{0x1100, 0, 0, 0x80001}, InfoCase{0x1105, 0, 0, 0x80001},
                                           InfoCase{0x2109, 16, 0x80000000, 0x60001},
                                           // listed later
                                           InfoCase{0xD, 1024, 4096, 0x2801}, InfoCase{0x1042, 192, 521, 0x1902801},
                                           InfoCase{0x1046, 192, 521, 0x1902801}, InfoCase{0x1087, 16, 32, 0x301},
                                           InfoCase{0x210A, 16, 0x80000000, 0x60001},
                                           InfoCase{0x1055, 256, 456, 0x10001}, InfoCase{0x1057, 256, 456, 0x2801}));

TEST(MechanismTables, EveryListedTypeHasInformationAndFiveMoreAreKnown)
{
    CK_MECHANISM_INFO info{};
    for (const CK_MECHANISM_TYPE type : supportedMechanisms()) {
        EXPECT_TRUE(findMechanismInfo(type, info)) << std::hex << type;
    }
    size_t known = 0;
    for (CK_MECHANISM_TYPE type = 0; type < 0x3000; ++type) {
        known += findMechanismInfo(type, info) ? 1 : 0;
    }
    EXPECT_EQ(known, 73u);
}

class MechanismInfoRefusalTest : public CryptoFixture {};

TEST_F(MechanismInfoRefusalTest, UnknownTypeIsRefusedWithAWarning)
{
    CK_MECHANISM_INFO info{1, 2, 3};
    EXPECT_EQ(context->C_GetMechanismInfo(0, 0x1088, &info), CKR_MECHANISM_INVALID);
    EXPECT_TRUE(logged("Mechanism not supported: 0x00001088"));
    EXPECT_EQ(info.ulMinKeySize, 1u);
    EXPECT_EQ(info.flags, 3u);
}

TEST_F(MechanismInfoRefusalTest, AnswersWhileAnotherCallHoldsTheLibraryLock)
{
    CK_MECHANISM_INFO info{};
    CK_RV rv = CKR_GENERAL_ERROR;
    EXPECT_TRUE(finishesWhileTokenHeld([&] { rv = context->C_GetMechanismInfo(0, CKM_ECDSA, &info); }));
    EXPECT_EQ(rv, CKR_OK);
}

TEST_F(MechanismInfoRefusalTest, ChecksInfoThenSlotThenType)
{
    CK_MECHANISM_INFO info{};
    EXPECT_EQ(context->C_GetMechanismInfo(9, 0x1088, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(context->C_GetMechanismInfo(9, 0x1088, &info), CKR_SLOT_ID_INVALID);
    EXPECT_FALSE(logged("Mechanism not supported: 0x00001088"));
}

class RsaKeyGenLimitTest : public ContextFixture {
protected:
    // Slot 0: a Varkon on HID, slot 1: a Vexa on HID, slot 2: a token
    // reached through the daemon (a transport that is not HID).
    void SetUp() override
    {
        auto token = std::make_shared<vexa::test::FakeToken>();
        TransportKind kind;
        kind.lister = [](const LibrarySettings&, corvel::ILogTarget&) { return std::vector<SerialId>{1, 2, 3}; };
        kind.factory = [token](SerialId serial, const LibrarySettings&,
                               corvel::ILogTarget&) -> std::unique_ptr<corvel::CTransport> {
            switch (serial) {
            case 1:
                return std::make_unique<vexa::test::FakeHidTransport>(token, "Varkon");
            case 2:
                return std::make_unique<vexa::test::FakeHidTransport>(token, "Vexa");
            default:
                return std::make_unique<vexa::test::FakeTransport>(token);
            }
        };
        context->setTransportKind(kind);
        ASSERT_EQ(context->C_Initialize(nullptr), CKR_OK);
    }

    CK_ULONG maxKeySize(CK_SLOT_ID slot, CK_MECHANISM_TYPE type)
    {
        CK_MECHANISM_INFO info{};
        EXPECT_EQ(context->C_GetMechanismInfo(slot, type, &info), CKR_OK);
        return info.ulMaxKeySize;
    }
};

TEST_F(RsaKeyGenLimitTest, VarkonOnHidGeneratesAtMost2048Bits)
{
    EXPECT_EQ(maxKeySize(0, CKM_RSA_PKCS_KEY_PAIR_GEN), 2048u);
    EXPECT_EQ(maxKeySize(1, CKM_RSA_PKCS_KEY_PAIR_GEN), 4096u);
    EXPECT_EQ(maxKeySize(2, CKM_RSA_PKCS_KEY_PAIR_GEN), 4096u);
}

TEST_F(RsaKeyGenLimitTest, OnlyKeyPairGenerationIsLimited)
{
    EXPECT_EQ(maxKeySize(0, CKM_RSA_PKCS), 4096u);
    EXPECT_EQ(maxKeySize(0, CKM_SHA256_RSA_PKCS), 4096u);
}

}  // namespace
