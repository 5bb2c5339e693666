#include <gtest/gtest.h>

#include <functional>

#include "ScriptedTokenFixture.h"

// The checks of each slot, session and object function, in their order: the
// first failing check decides, and nothing reaches the token.

using namespace vexa::test;
using vexa::pkcs11::CContext;

namespace {

constexpr CK_SESSION_HANDLE kKnown = 0x0000000000000004;
constexpr CK_SESSION_HANDLE kUnknown = 0x0000123400000009;

struct CheckCase {
    const char* name;
    std::function<CK_RV(CContext&)> call;
    CK_RV expected;
};

void PrintTo(const CheckCase& c, std::ostream* out) { *out << c.name; }

CK_BYTE g_bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
CK_ATTRIBUTE g_template[1] = {{CKA_LABEL, g_bytes, 4}};
// Lengths that no 32-bit field holds: cut, they would send other bytes than
// the caller gave (here the first 4).
constexpr CK_ULONG kBeyond32Bits = 0x100000004;
CK_ATTRIBUTE g_hugeTemplate[1] = {{CKA_LABEL, g_bytes, kBeyond32Bits}};
CK_OBJECT_HANDLE g_handles[4];
CK_ULONG g_count;
CK_SESSION_HANDLE g_session;
CK_SLOT_INFO g_slotInfo;
CK_TOKEN_INFO g_tokenInfo;
CK_SESSION_INFO g_sessionInfo;

const CheckCase kCheckCases[] = {
    {"GetInfoNullInfo", [](CContext& c) { return c.C_GetInfo(nullptr); }, CKR_ARGUMENTS_BAD},
    {"GetSlotListNullCount", [](CContext& c) { return c.C_GetSlotList(CK_TRUE, nullptr, nullptr); }, CKR_ARGUMENTS_BAD},
    {"GetSlotInfoNullInfoBeforeSlot", [](CContext& c) { return c.C_GetSlotInfo(9, nullptr); }, CKR_ARGUMENTS_BAD},
    {"GetSlotInfoUnknownSlot", [](CContext& c) { return c.C_GetSlotInfo(9, &g_slotInfo); }, CKR_SLOT_ID_INVALID},
    {"GetSlotInfoSlotAbove32Bits", [](CContext& c) { return c.C_GetSlotInfo(0x100000000, &g_slotInfo); },
     CKR_SLOT_ID_INVALID},
    {"GetTokenInfoNullInfoBeforeSlot", [](CContext& c) { return c.C_GetTokenInfo(9, nullptr); }, CKR_ARGUMENTS_BAD},
    {"GetTokenInfoUnknownSlot", [](CContext& c) { return c.C_GetTokenInfo(9, &g_tokenInfo); }, CKR_SLOT_ID_INVALID},
    {"InitTokenSlotFirst", [](CContext& c) { return c.C_InitToken(9, nullptr, 0, nullptr); }, CKR_SLOT_ID_INVALID},
    {"InitTokenNullPin", [](CContext& c) { return c.C_InitToken(0, nullptr, 4, g_bytes); }, CKR_ARGUMENTS_BAD},
    {"InitTokenNullLabel", [](CContext& c) { return c.C_InitToken(0, g_bytes, 4, nullptr); }, CKR_ARGUMENTS_BAD},
    {"InitTokenEmptyPin", [](CContext& c) { return c.C_InitToken(0, g_bytes, 0, g_bytes); }, CKR_ARGUMENTS_BAD},
    {"InitTokenPinAbove32Bits", [](CContext& c) { return c.C_InitToken(0, g_bytes, kBeyond32Bits, g_bytes); },
     CKR_DATA_LEN_RANGE},
    {"InitPINNullPinWithLength", [](CContext& c) { return c.C_InitPIN(kUnknown, nullptr, 4); }, CKR_ARGUMENTS_BAD},
    {"InitPINThenSession", [](CContext& c) { return c.C_InitPIN(kUnknown, nullptr, 0); }, CKR_SESSION_HANDLE_INVALID},
    {"InitPINPinAbove32Bits", [](CContext& c) { return c.C_InitPIN(kKnown, g_bytes, kBeyond32Bits); },
     CKR_DATA_LEN_RANGE},
    {"SetPINOldAbove32Bits", [](CContext& c) { return c.C_SetPIN(kKnown, g_bytes, kBeyond32Bits, g_bytes, 4); },
     CKR_DATA_LEN_RANGE},
    {"SetPINNewAbove32Bits", [](CContext& c) { return c.C_SetPIN(kKnown, g_bytes, 4, g_bytes, kBeyond32Bits); },
     CKR_DATA_LEN_RANGE},
    {"SetPINNullOld", [](CContext& c) { return c.C_SetPIN(kUnknown, nullptr, 0, g_bytes, 4); }, CKR_ARGUMENTS_BAD},
    {"SetPINNullNew", [](CContext& c) { return c.C_SetPIN(kUnknown, g_bytes, 4, nullptr, 0); }, CKR_ARGUMENTS_BAD},
    {"OpenSessionParallelFirst", [](CContext& c) { return c.C_OpenSession(9, 0, nullptr, nullptr, nullptr); },
     CKR_SESSION_PARALLEL_NOT_SUPPORTED},
    {"OpenSessionNullHandle",
     [](CContext& c) { return c.C_OpenSession(9, CKF_SERIAL_SESSION, nullptr, nullptr, nullptr); }, CKR_ARGUMENTS_BAD},
    {"OpenSessionUnknownSlot",
     [](CContext& c) { return c.C_OpenSession(9, CKF_SERIAL_SESSION, nullptr, nullptr, &g_session); },
     CKR_SLOT_ID_INVALID},
    {"CloseSessionUnknown", [](CContext& c) { return c.C_CloseSession(kUnknown); }, CKR_SESSION_HANDLE_INVALID},
    {"CloseAllSessionsUnknownSlot", [](CContext& c) { return c.C_CloseAllSessions(9); }, CKR_SLOT_ID_INVALID},
    {"GetSessionInfoZeroFirst", [](CContext& c) { return c.C_GetSessionInfo(0, nullptr); }, CKR_SESSION_HANDLE_INVALID},
    {"GetSessionInfoNullInfo", [](CContext& c) { return c.C_GetSessionInfo(kUnknown, nullptr); }, CKR_ARGUMENTS_BAD},
    {"GetSessionInfoUnknown", [](CContext& c) { return c.C_GetSessionInfo(kUnknown, &g_sessionInfo); },
     CKR_SESSION_HANDLE_INVALID},
    {"LoginNullPin", [](CContext& c) { return c.C_Login(kKnown, CKU_USER, nullptr, 0); }, CKR_ARGUMENTS_BAD},
    {"LoginPinAbove32Bits", [](CContext& c) { return c.C_Login(kKnown, CKU_USER, g_bytes, kBeyond32Bits); },
     CKR_DATA_LEN_RANGE},
    {"LoginUnknown", [](CContext& c) { return c.C_Login(kUnknown, CKU_USER, g_bytes, 4); }, CKR_SESSION_HANDLE_INVALID},
    {"LogoutUnknown", [](CContext& c) { return c.C_Logout(kUnknown); }, CKR_SESSION_HANDLE_INVALID},
    {"SeedRandomNullSeed", [](CContext& c) { return c.C_SeedRandom(kKnown, nullptr, 4); }, CKR_ARGUMENTS_BAD},
    {"SeedRandomEmptySeed", [](CContext& c) { return c.C_SeedRandom(kKnown, g_bytes, 0); }, CKR_ARGUMENTS_BAD},
    {"SeedRandomSeedAbove32Bits", [](CContext& c) { return c.C_SeedRandom(kKnown, g_bytes, kBeyond32Bits); },
     CKR_DATA_LEN_RANGE},
    {"GenerateRandomNullBuffer", [](CContext& c) { return c.C_GenerateRandom(kKnown, nullptr, 4); }, CKR_ARGUMENTS_BAD},
    {"GenerateRandomUnknown", [](CContext& c) { return c.C_GenerateRandom(kUnknown, g_bytes, 4); },
     CKR_SESSION_HANDLE_INVALID},
    {"CreateObjectNullTemplate", [](CContext& c) { return c.C_CreateObject(kKnown, nullptr, 1, g_handles); },
     CKR_ARGUMENTS_BAD},
    {"CreateObjectEmptyTemplate", [](CContext& c) { return c.C_CreateObject(kKnown, g_template, 0, g_handles); },
     CKR_ARGUMENTS_BAD},
    {"CreateObjectNullHandle", [](CContext& c) { return c.C_CreateObject(kKnown, g_template, 1, nullptr); },
     CKR_ARGUMENTS_BAD},
    {"CreateObjectAttributeAbove32Bits",
     [](CContext& c) { return c.C_CreateObject(kKnown, g_hugeTemplate, 1, g_handles); }, CKR_ARGUMENTS_BAD},
    {"CreateObjectUnknown", [](CContext& c) { return c.C_CreateObject(kUnknown, g_template, 1, g_handles); },
     CKR_SESSION_HANDLE_INVALID},
    {"CopyObjectNullTemplate", [](CContext& c) { return c.C_CopyObject(kKnown, 1, nullptr, 0, g_handles); },
     CKR_ARGUMENTS_BAD},
    {"CopyObjectNullHandle", [](CContext& c) { return c.C_CopyObject(kKnown, 1, g_template, 1, nullptr); },
     CKR_ARGUMENTS_BAD},
    {"CopyObjectAttributeAbove32Bits",
     [](CContext& c) { return c.C_CopyObject(kKnown, 1, g_hugeTemplate, 1, g_handles); }, CKR_ARGUMENTS_BAD},
    {"CopyObjectEmptyTemplateAllowed",
     [](CContext& c) { return c.C_CopyObject(kUnknown, 1, g_template, 0, g_handles); }, CKR_SESSION_HANDLE_INVALID},
    {"DestroyObjectUnknown", [](CContext& c) { return c.C_DestroyObject(kUnknown, 1); }, CKR_SESSION_HANDLE_INVALID},
    {"GetObjectSizeNullSize", [](CContext& c) { return c.C_GetObjectSize(kKnown, 1, nullptr); }, CKR_ARGUMENTS_BAD},
    {"GetObjectSizeUnknown", [](CContext& c) { return c.C_GetObjectSize(kUnknown, 1, &g_count); },
     CKR_SESSION_HANDLE_INVALID},
    {"GetAttributeValueNullTemplate", [](CContext& c) { return c.C_GetAttributeValue(kKnown, 1, nullptr, 1); },
     CKR_ARGUMENTS_BAD},
    {"GetAttributeValueEmptyTemplate", [](CContext& c) { return c.C_GetAttributeValue(kKnown, 1, g_template, 0); },
     CKR_ARGUMENTS_BAD},
    {"GetAttributeValueUnknown", [](CContext& c) { return c.C_GetAttributeValue(kUnknown, 1, g_template, 1); },
     CKR_SESSION_HANDLE_INVALID},
    {"SetAttributeValueNullTemplate", [](CContext& c) { return c.C_SetAttributeValue(kKnown, 1, nullptr, 1); },
     CKR_ARGUMENTS_BAD},
    {"SetAttributeValueEmptyTemplate", [](CContext& c) { return c.C_SetAttributeValue(kKnown, 1, g_template, 0); },
     CKR_ARGUMENTS_BAD},
    {"SetAttributeValueAttributeAbove32Bits",
     [](CContext& c) { return c.C_SetAttributeValue(kKnown, 1, g_hugeTemplate, 1); }, CKR_ARGUMENTS_BAD},
    {"FindObjectsInitAttributeAbove32Bits", [](CContext& c) { return c.C_FindObjectsInit(kKnown, g_hugeTemplate, 1); },
     CKR_ARGUMENTS_BAD},
    {"FindObjectsInitNullTemplateAllowed", [](CContext& c) { return c.C_FindObjectsInit(kUnknown, nullptr, 3); },
     CKR_SESSION_HANDLE_INVALID},
    {"FindObjectsNullHandles", [](CContext& c) { return c.C_FindObjects(kKnown, nullptr, 4, &g_count); },
     CKR_ARGUMENTS_BAD},
    {"FindObjectsZeroMax", [](CContext& c) { return c.C_FindObjects(kKnown, g_handles, 0, &g_count); },
     CKR_ARGUMENTS_BAD},
    {"FindObjectsNullCount", [](CContext& c) { return c.C_FindObjects(kKnown, g_handles, 4, nullptr); },
     CKR_ARGUMENTS_BAD},
    {"FindObjectsUnknown", [](CContext& c) { return c.C_FindObjects(kUnknown, g_handles, 4, &g_count); },
     CKR_SESSION_HANDLE_INVALID},
    {"FindObjectsFinalUnknown", [](CContext& c) { return c.C_FindObjectsFinal(kUnknown); }, CKR_SESSION_HANDLE_INVALID},
};

class ArgumentChecksTest : public ScriptedTokenFixture, public ::testing::WithParamInterface<CheckCase> {};

// Every function of these families, with null or zero arguments throughout.
const CheckCase kUninitialisedCases[] = {
    {"C_GetInfo", [](CContext& c) { return c.C_GetInfo(nullptr); }, 0},
    {"C_GetSlotList", [](CContext& c) { return c.C_GetSlotList(0, nullptr, nullptr); }, 0},
    {"C_GetSlotInfo", [](CContext& c) { return c.C_GetSlotInfo(0, nullptr); }, 0},
    {"C_GetTokenInfo", [](CContext& c) { return c.C_GetTokenInfo(0, nullptr); }, 0},
    {"C_InitToken", [](CContext& c) { return c.C_InitToken(0, nullptr, 0, nullptr); }, 0},
    {"C_OpenSession", [](CContext& c) { return c.C_OpenSession(0, 0, nullptr, nullptr, nullptr); }, 0},
    {"C_CloseSession", [](CContext& c) { return c.C_CloseSession(0); }, 0},
    {"C_GetSessionInfo", [](CContext& c) { return c.C_GetSessionInfo(0, nullptr); }, 0},
    {"C_Login", [](CContext& c) { return c.C_Login(0, 0, nullptr, 0); }, 0},
    {"C_Logout", [](CContext& c) { return c.C_Logout(0); }, 0},
    {"C_InitPIN", [](CContext& c) { return c.C_InitPIN(0, nullptr, 1); }, 0},
    {"C_SetPIN", [](CContext& c) { return c.C_SetPIN(0, nullptr, 0, nullptr, 0); }, 0},
    {"C_SeedRandom", [](CContext& c) { return c.C_SeedRandom(0, nullptr, 0); }, 0},
    {"C_GenerateRandom", [](CContext& c) { return c.C_GenerateRandom(0, nullptr, 0); }, 0},
    {"C_CreateObject", [](CContext& c) { return c.C_CreateObject(0, nullptr, 0, nullptr); }, 0},
    {"C_CopyObject", [](CContext& c) { return c.C_CopyObject(0, 0, nullptr, 0, nullptr); }, 0},
    {"C_DestroyObject", [](CContext& c) { return c.C_DestroyObject(0, 0); }, 0},
    {"C_GetObjectSize", [](CContext& c) { return c.C_GetObjectSize(0, 0, nullptr); }, 0},
    {"C_GetAttributeValue", [](CContext& c) { return c.C_GetAttributeValue(0, 0, nullptr, 0); }, 0},
    {"C_SetAttributeValue", [](CContext& c) { return c.C_SetAttributeValue(0, 0, nullptr, 0); }, 0},
    {"C_FindObjectsInit", [](CContext& c) { return c.C_FindObjectsInit(0, nullptr, 0); }, 0},
    {"C_FindObjects", [](CContext& c) { return c.C_FindObjects(0, nullptr, 0, nullptr); }, 0},
    {"C_FindObjectsFinal", [](CContext& c) { return c.C_FindObjectsFinal(0); }, 0},
};

class NotInitialisedTest : public ScriptedTokenFixture, public ::testing::WithParamInterface<CheckCase> {};

}  // namespace

TEST_P(ArgumentChecksTest, FirstFailingCheckDecidesWithoutAnExchange)
{
    startTokens(1);
    knownSession(0, static_cast<uint32_t>(kKnown));
    reply({CKR_OK});
    EXPECT_EQ(GetParam().call(*context), GetParam().expected);
    EXPECT_TRUE(token().requests.empty());
    EXPECT_TRUE(token().calls.empty());
}

INSTANTIATE_TEST_SUITE_P(SlotsSessionsObjects, ArgumentChecksTest, ::testing::ValuesIn(kCheckCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(NotInitialisedTest, AnsweredBeforeAnyArgumentIsLookedAt)
{
    // Before C_Initialize, and again after C_Finalize.
    tokens = useTokens(1);
    EXPECT_EQ(GetParam().call(*context), CKR_CRYPTOKI_NOT_INITIALIZED);
    ASSERT_EQ(context->C_Initialize(nullptr), CKR_OK);
    knownSession(0, 0);
    ASSERT_EQ(context->C_Finalize(nullptr), CKR_OK);
    token().requests.clear();
    EXPECT_EQ(GetParam().call(*context), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_TRUE(token().requests.empty());
}

INSTANTIATE_TEST_SUITE_P(SlotsSessionsObjects, NotInitialisedTest, ::testing::ValuesIn(kUninitialisedCases),
                         [](const auto& info) { return std::string(info.param.name); });
