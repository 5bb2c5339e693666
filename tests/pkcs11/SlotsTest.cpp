#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ScriptedTokenFixture.h"

using namespace vexa::test;

namespace {

template <size_t N>
std::string text(const CK_UTF8CHAR (&field)[N])
{
    return std::string(reinterpret_cast<const char*>(field), N);
}

std::string padded(const std::string& start, size_t size) { return start + std::string(size - start.size(), ' '); }

class SlotsTest : public ScriptedTokenFixture {};

}  // namespace

TEST_F(SlotsTest, InfoDescribesTheLibraryWithoutAToken)
{
    startTokens(1);
    CK_INFO info;
    std::memset(&info, 0xAB, sizeof info);
    ASSERT_EQ(context->C_GetInfo(&info), CKR_OK);
    EXPECT_EQ(info.cryptokiVersion.major, 2);
    EXPECT_EQ(info.cryptokiVersion.minor, 40);
    EXPECT_EQ(text(info.manufacturerID), padded("corvelWorks", 32));
    EXPECT_EQ(text(info.libraryDescription), padded("corvelWorks PKCS11 Library", 32));
    EXPECT_EQ(info.flags, 0u);
    EXPECT_EQ(info.libraryVersion.major, 2);
    EXPECT_EQ(info.libraryVersion.minor, 13);
    EXPECT_TRUE(token().requests.empty());
}

TEST_F(SlotsTest, SlotListCountsAndFillsOnlyWhenThereIsRoom)
{
    startTokens(3);
    CK_ULONG count = 0;
    ASSERT_EQ(context->C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 3u);

    CK_SLOT_ID slots[3] = {77, 77, 77};
    count = 2;
    EXPECT_EQ(context->C_GetSlotList(CK_TRUE, slots, &count), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(slots[0], 77u);

    count = 3;
    ASSERT_EQ(context->C_GetSlotList(CK_TRUE, slots, &count), CKR_OK);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(slots[0], 0u);
    EXPECT_EQ(slots[1], 1u);
    EXPECT_EQ(slots[2], 2u);
}

TEST_F(SlotsTest, SlotDescriptionNamesTheProductBehindTheTransport)
{
    const struct {
        const char* product;  // null: reached through the daemon
        const char* description;
    } cases[] = {
        {nullptr, "Vexa"},
        {"Vexa", "Vexa USB"},
        {"Varkon", "Varkon USB"},
        {"Vexa2", "Unknown"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.description);
        context = std::make_unique<vexa::pkcs11::CContext>(dir.path() + "/");
        if (c.product == nullptr) {
            startTokens(1);
        } else {
            startHidTokens({c.product});
        }
        CK_SLOT_INFO info;
        std::memset(&info, 0, sizeof info);
        ASSERT_EQ(context->C_GetSlotInfo(0, &info), CKR_OK);
        EXPECT_EQ(text(info.slotDescription), padded(c.description, 64));
        EXPECT_EQ(text(info.manufacturerID), padded("USB", 32));
        EXPECT_EQ(info.flags, CKF_TOKEN_PRESENT);
        EXPECT_EQ(info.hardwareVersion.major, 2);
        EXPECT_EQ(info.hardwareVersion.minor, 0);
        EXPECT_EQ(info.firmwareVersion.major, 0);
        // Opened for the description and left open for later exchanges.
        EXPECT_TRUE(token().open);
        EXPECT_TRUE(token().requests.empty());
    }
}

TEST_F(SlotsTest, UnreachableTokenIsASlotWithoutToken)
{
    startTokens(1);
    token().open = false;  // gone since the clock was set at initialisation
    token().throwOnOpen = "Device not detected";
    // CKR_OK: callers print every member, so every member is written.
    CK_SLOT_INFO info;
    std::memset(&info, 'x', sizeof info);
    ASSERT_EQ(context->C_GetSlotInfo(0, &info), CKR_OK);
    EXPECT_EQ(info.flags, 0u);
    EXPECT_EQ(text(info.slotDescription), padded("Vexa", 64));
    EXPECT_EQ(text(info.manufacturerID), padded("USB", 32));
    EXPECT_EQ(info.hardwareVersion.major, 2);
    EXPECT_EQ(info.hardwareVersion.minor, 0);
    EXPECT_EQ(info.firmwareVersion.major, 0);
    EXPECT_EQ(info.firmwareVersion.minor, 0);
    EXPECT_TRUE(logged("Device not detected"));

    CK_TOKEN_INFO tokenInfo;
    std::memset(&tokenInfo, 'x', sizeof tokenInfo);
    EXPECT_EQ(context->C_GetTokenInfo(0, &tokenInfo), CKR_TOKEN_NOT_PRESENT);
    EXPECT_EQ(tokenInfo.flags, 0u);
    CK_UTF8CHAR label[32] = {};
    CK_UTF8CHAR pin[] = "1234";
    EXPECT_EQ(context->C_InitToken(0, pin, 4, label), CKR_ARGUMENTS_BAD);
    EXPECT_TRUE(token().requests.empty());
}

TEST_F(SlotsTest, TokenInfoComesFromTheToken)
{
    startTokens(2);
    RpcTokenInfo wire = tokenInfo({"Vexa 0000000001", std::string(32, 'M'), "Vexa", "0000000001", "2026121003160800"});
    wire.flags = CKF_RNG | CKF_LOGIN_REQUIRED | CKF_TOKEN_INITIALIZED;
    wire.maxSessionCount = 10;
    wire.sessionCount = 1;
    wire.maxRwSessionCount = 9;
    wire.rwSessionCount = 2;
    wire.maxPinLen = 255;
    wire.minPinLen = 4;
    wire.totalPublicMemory = 1000;
    wire.freePublicMemory = 900;
    wire.totalPrivateMemory = 800;
    wire.freePrivateMemory = 0xFFFFFFFF;
    wire.hardwareVersionMajor = 0x103;  // only the low byte fits
    wire.hardwareVersionMinor = 4;
    wire.firmwareVersionMajor = 5;
    wire.firmwareVersionMinor = 6;
    Response reply;
    reply.tokenInfo = wire;
    reply.rv = CKR_OK;
    this->reply(reply, 1);

    CK_TOKEN_INFO info;
    std::memset(&info, '#', sizeof info);
    ASSERT_EQ(context->C_GetTokenInfo(1, &info), CKR_OK);
    // Byte fields fill the start of their member, and spaces the rest: none
    // shows what the caller's memory held.
    EXPECT_EQ(text(info.label), padded("Vexa 0000000001", 32));
    EXPECT_EQ(text(info.manufacturerID), std::string(32, 'M'));
    EXPECT_EQ(text(info.model), padded("Vexa", 16));
    EXPECT_EQ(text(info.serialNumber), padded("0000000001", 16));
    EXPECT_EQ(text(info.utcTime), "2026121003160800");
    EXPECT_EQ(info.flags, wire.flags);
    EXPECT_EQ(info.ulMaxSessionCount, 10u);
    EXPECT_EQ(info.ulRwSessionCount, 2u);
    EXPECT_EQ(info.ulMinPinLen, 4u);
    EXPECT_EQ(info.ulFreePrivateMemory, 0xFFFFFFFFu);  // widened, not "unavailable"
    EXPECT_EQ(info.hardwareVersion.major, 3);
    EXPECT_EQ(info.firmwareVersion.minor, 6);

    const auto requests = sent(1);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].function, 34u);
    EXPECT_FALSE(requests[0].session);
    EXPECT_TRUE(this->token(0).requests.empty());
}

// A token that answers CKR_OK without the record still gets every member
// written, blank.
TEST_F(SlotsTest, TokenInfoWithoutTheRecordIsADeviceError)
{
    startTokens(1);
    reply({CKR_OK});
    CK_TOKEN_INFO info;
    std::memset(&info, '#', sizeof info);
    EXPECT_EQ(context->C_GetTokenInfo(0, &info), CKR_DEVICE_ERROR);
}

TEST_F(SlotsTest, TokenErrorLeavesTokenInfoAlone)
{
    startTokens(1);
    reply({CKR_DEVICE_ERROR});
    CK_TOKEN_INFO info;
    std::memset(&info, '#', sizeof info);
    EXPECT_EQ(context->C_GetTokenInfo(0, &info), CKR_DEVICE_ERROR);
    EXPECT_EQ(info.flags, 0u);
    EXPECT_EQ(info.label[0], '#');
}

TEST_F(SlotsTest, InitTokenSendsThePinAndAlways32LabelBytes)
{
    startTokens(1);
    reply({CKR_OK});
    CK_UTF8CHAR pin[] = "12345678";
    CK_UTF8CHAR label[32];
    std::memset(label, ' ', sizeof label);
    std::memcpy(label, "mine", 4);
    ASSERT_EQ(context->C_InitToken(0, pin, 8, label), CKR_OK);
    const auto requests = sent();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].function, 10u);
    EXPECT_EQ(requests[0].data, Bytes(pin, pin + 8));
    EXPECT_EQ(requests[0].data2, Bytes(label, label + 32));
    EXPECT_FALSE(requests[0].session);
}
