// Slots, sessions, login and objects through libvexa-pkcs11.so as
// applications load it, on a token of vexa-token-sim reached over HID. Run by
// ctest under the simulator (see CMakeLists.txt; the token is kSerial).
#include <gtest/gtest.h>
#include <p11-kit/pkcs11.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "ModuleSession.h"

namespace {

const std::string kSerial = "0000000000C1";

template <size_t N>
std::string text(const CK_UTF8CHAR (&field)[N])
{
    return std::string(reinterpret_cast<const char*>(field), N);
}

class ObjectsSimTest : public vexa::test::ModuleSessionTest {
protected:
    ObjectsSimTest() : ModuleSessionTest(1) {}

    std::vector<CK_OBJECT_HANDLE> findByLabel(const std::string& label)
    {
        CK_ATTRIBUTE match[] = {{CKA_LABEL, const_cast<char*>(label.data()), label.size()}};
        EXPECT_EQ(p11->C_FindObjectsInit(session, match, 1), CKR_OK);
        std::vector<CK_OBJECT_HANDLE> found(8);
        CK_ULONG count = 0;
        EXPECT_EQ(p11->C_FindObjects(session, found.data(), found.size(), &count), CKR_OK);
        EXPECT_EQ(p11->C_FindObjectsFinal(session), CKR_OK);
        found.resize(count);
        return found;
    }
};

}  // namespace

TEST_F(ObjectsSimTest, SlotTokenAndSessionDescribeTheToken)
{
    CK_SLOT_INFO slot{};
    ASSERT_EQ(p11->C_GetSlotInfo(0, &slot), CKR_OK);
    EXPECT_EQ(text(slot.slotDescription).substr(0, 9), "Vexa USB ");
    EXPECT_EQ(slot.flags & CKF_TOKEN_PRESENT, CKF_TOKEN_PRESENT);

    CK_TOKEN_INFO token{};
    ASSERT_EQ(p11->C_GetTokenInfo(0, &token), CKR_OK);
    EXPECT_EQ(text(token.label).substr(0, 17), "Vexa " + kSerial);
    EXPECT_NE(token.flags & CKF_TOKEN_INITIALIZED, 0u);

    CK_SESSION_INFO info{};
    ASSERT_EQ(p11->C_GetSessionInfo(session, &info), CKR_OK);
    EXPECT_EQ(info.slotID, 0u);
    EXPECT_EQ(info.state, CKS_RW_USER_FUNCTIONS);
    EXPECT_EQ(info.flags & CKF_RW_SESSION, CKF_RW_SESSION);
}

TEST_F(ObjectsSimTest, DataObjectIsCreatedFoundReadAndDestroyed)
{
    CK_OBJECT_CLASS dataClass = CKO_DATA;
    CK_BBOOL yes = CK_TRUE;
    CK_BBOOL no = CK_FALSE;
    char label[] = "vexa-smoke";
    char value[] = "hello, token";
    CK_ATTRIBUTE attributes[] = {
        {CKA_CLASS, &dataClass, sizeof dataClass}, {CKA_TOKEN, &yes, sizeof yes},        {CKA_PRIVATE, &no, sizeof no},
        {CKA_LABEL, label, sizeof label - 1},      {CKA_VALUE, value, sizeof value - 1},
    };
    CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
    ASSERT_EQ(p11->C_CreateObject(session, attributes, 5, &object), CKR_OK);
    ASSERT_NE(object, CK_INVALID_HANDLE);
    EXPECT_EQ(findByLabel(label), std::vector<CK_OBJECT_HANDLE>{object});

    // Sizes first, then values, as applications do.
    CK_ATTRIBUTE read[] = {{CKA_CLASS, nullptr, 0}, {CKA_TOKEN, nullptr, 0}, {CKA_VALUE, nullptr, 0}};
    ASSERT_EQ(p11->C_GetAttributeValue(session, object, read, 3), CKR_OK);
    EXPECT_EQ(read[0].ulValueLen, sizeof(CK_ULONG));
    EXPECT_EQ(read[1].ulValueLen, 1u);
    ASSERT_EQ(read[2].ulValueLen, sizeof value - 1);
    CK_ULONG readClass = 0xFFFF;
    CK_BBOOL readToken = CK_FALSE;
    std::vector<char> readValue(read[2].ulValueLen);
    read[0].pValue = &readClass;
    read[1].pValue = &readToken;
    read[2].pValue = readValue.data();
    ASSERT_EQ(p11->C_GetAttributeValue(session, object, read, 3), CKR_OK);
    EXPECT_EQ(readClass, CKO_DATA);
    EXPECT_EQ(readToken, CK_TRUE);
    EXPECT_EQ(std::string(readValue.begin(), readValue.end()), value);

    char renamed[] = "vexa-smoke-2";
    CK_ATTRIBUTE rename[] = {{CKA_LABEL, renamed, sizeof renamed - 1}};
    ASSERT_EQ(p11->C_SetAttributeValue(session, object, rename, 1), CKR_OK);
    EXPECT_TRUE(findByLabel(label).empty());
    EXPECT_EQ(findByLabel(renamed).size(), 1u);

    ASSERT_EQ(p11->C_DestroyObject(session, object), CKR_OK);
    EXPECT_TRUE(findByLabel(renamed).empty());
}

TEST_F(ObjectsSimTest, RandomBytesFillTheWholeBuffer)
{
    // More than two chunks; each draw differs from the other.
    std::vector<CK_BYTE> first(2500, 0);
    std::vector<CK_BYTE> second(2500, 0);
    ASSERT_EQ(p11->C_GenerateRandom(session, first.data(), first.size()), CKR_OK);
    ASSERT_EQ(p11->C_GenerateRandom(session, second.data(), second.size()), CKR_OK);
    EXPECT_NE(first, second);
    // No 64-byte stretch left as it was.
    for (size_t offset = 0; offset + 64 <= first.size(); offset += 64) {
        EXPECT_FALSE(std::all_of(first.begin() + offset, first.begin() + offset + 64, [](CK_BYTE b) { return b == 0; }))
            << "at " << offset;
    }
}
