#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "CryptoFixture.h"

using namespace vexa::pkcs11;
using namespace vexa::test;

namespace {

using Call = std::function<CK_RV(CContext&, CK_SESSION_HANDLE)>;

struct CallCase {
    const char* name;
    Call call;
};

void PrintTo(const CallCase& callCase, std::ostream* out) { *out << callCase.name; }

CK_BYTE g_bytes[16] = {};
CK_BYTE g_out[64];
CK_ULONG g_outLength;
CK_OBJECT_HANDLE g_handle;
CK_OBJECT_HANDLE g_handle2;
CK_BBOOL g_true = CK_TRUE;
CK_ATTRIBUTE g_template[] = {{CKA_TOKEN, &g_true, sizeof(g_true)}};
CK_MECHANISM g_mechanism{CKM_SHA256, nullptr, 0};
CK_MECHANISM g_lengthWithoutParameter{CKM_AES_CBC, nullptr, 16};
// Lengths that no 32-bit field holds: cut, they would send other bytes than
// the caller gave (here the first 16).
constexpr CK_ULONG kBeyond32Bits = 0x100000010;
CK_MECHANISM g_hugeParameter{CKM_AES_CBC, g_bytes, kBeyond32Bits};
CK_ATTRIBUTE g_hugeTemplate[] = {{CKA_LABEL, g_bytes, kBeyond32Bits}};

CK_ULONG* outLength()
{
    g_outLength = sizeof(g_out);
    return &g_outLength;
}

// Every session function of the family with good arguments.
const CallCase kSessionCalls[] = {
    {"EncryptInit", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_EncryptInit(s, &g_mechanism, 1); }},
    {"Encrypt", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_Encrypt(s, g_bytes, 16, g_out, outLength()); }},
    {"EncryptUpdate",
     [](CContext& c, CK_SESSION_HANDLE s) { return c.C_EncryptUpdate(s, g_bytes, 16, g_out, outLength()); }},
    {"EncryptFinal", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_EncryptFinal(s, g_out, outLength()); }},
    {"DecryptInit", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_DecryptInit(s, &g_mechanism, 1); }},
    {"Decrypt", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_Decrypt(s, g_bytes, 16, g_out, outLength()); }},
    {"DecryptUpdate",
     [](CContext& c, CK_SESSION_HANDLE s) { return c.C_DecryptUpdate(s, g_bytes, 16, g_out, outLength()); }},
    {"DecryptFinal", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_DecryptFinal(s, g_out, outLength()); }},
    {"DigestInit", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_DigestInit(s, &g_mechanism); }},
    {"Digest", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_Digest(s, g_bytes, 16, g_out, outLength()); }},
    {"DigestUpdate", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_DigestUpdate(s, g_bytes, 16); }},
    {"DigestKey", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_DigestKey(s, 1); }},
    {"DigestFinal", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_DigestFinal(s, g_out, outLength()); }},
    {"SignInit", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_SignInit(s, &g_mechanism, 1); }},
    {"Sign", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_Sign(s, g_bytes, 16, g_out, outLength()); }},
    {"SignUpdate", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_SignUpdate(s, g_bytes, 16); }},
    {"SignFinal", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_SignFinal(s, g_out, outLength()); }},
    {"VerifyInit", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_VerifyInit(s, &g_mechanism, 1); }},
    {"Verify", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_Verify(s, g_bytes, 16, g_bytes, 16); }},
    {"VerifyUpdate", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_VerifyUpdate(s, g_bytes, 16); }},
    {"VerifyFinal", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_VerifyFinal(s, g_bytes, 16); }},
    {"GenerateKey",
     [](CContext& c, CK_SESSION_HANDLE s) { return c.C_GenerateKey(s, &g_mechanism, g_template, 1, &g_handle); }},
    {"GenerateKeyPair",
     [](CContext& c, CK_SESSION_HANDLE s) {
         return c.C_GenerateKeyPair(s, &g_mechanism, g_template, 1, g_template, 1, &g_handle, &g_handle2);
     }},
    {"WrapKey",
     [](CContext& c, CK_SESSION_HANDLE s) { return c.C_WrapKey(s, &g_mechanism, 1, 2, g_out, outLength()); }},
    {"UnwrapKey",
     [](CContext& c, CK_SESSION_HANDLE s) {
         return c.C_UnwrapKey(s, &g_mechanism, 1, g_bytes, 16, g_template, 1, &g_handle);
     }},
    {"DeriveKey",
     [](CContext& c, CK_SESSION_HANDLE s) { return c.C_DeriveKey(s, &g_mechanism, 1, g_template, 1, &g_handle); }},
};

class SessionCallTest : public CryptoFixture, public ::testing::WithParamInterface<CallCase> {};

TEST_P(SessionCallTest, UnknownSessionIsRefusedBeforeAnyExchange)
{
    EXPECT_EQ(GetParam().call(*context, kUnknownSession), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(exchanges(), 0u);
}

TEST_P(SessionCallTest, KnownSessionReachesItsToken)
{
    EXPECT_EQ(GetParam().call(*context, session), CKR_OK);
    const auto requests = sent();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.back().session, kTokenSession);
}

INSTANTIATE_TEST_SUITE_P(Functions, SessionCallTest, ::testing::ValuesIn(kSessionCalls),
                         [](const auto& info) { return std::string(info.param.name); });

// Before C_Initialize every function answers the same, whatever its
// arguments: the test comes first.
const CallCase kNullCalls[] = {
    {"GetMechanismList", [](CContext& c, CK_SESSION_HANDLE) { return c.C_GetMechanismList(0, nullptr, nullptr); }},
    {"GetMechanismInfo", [](CContext& c, CK_SESSION_HANDLE) { return c.C_GetMechanismInfo(0, 0, nullptr); }},
    {"EncryptInit", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_EncryptInit(s, nullptr, 0); }},
    {"Encrypt", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_Encrypt(s, nullptr, 0, nullptr, nullptr); }},
    {"EncryptUpdate",
     [](CContext& c, CK_SESSION_HANDLE s) { return c.C_EncryptUpdate(s, nullptr, 0, nullptr, nullptr); }},
    {"EncryptFinal", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_EncryptFinal(s, nullptr, nullptr); }},
    {"DecryptInit", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_DecryptInit(s, nullptr, 0); }},
    {"Decrypt", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_Decrypt(s, nullptr, 0, nullptr, nullptr); }},
    {"DecryptUpdate",
     [](CContext& c, CK_SESSION_HANDLE s) { return c.C_DecryptUpdate(s, nullptr, 0, nullptr, nullptr); }},
    {"DecryptFinal", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_DecryptFinal(s, nullptr, nullptr); }},
    {"DigestInit", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_DigestInit(s, nullptr); }},
    {"Digest", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_Digest(s, nullptr, 0, nullptr, nullptr); }},
    {"DigestUpdate", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_DigestUpdate(s, nullptr, 0); }},
    {"DigestKey", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_DigestKey(s, 0); }},
    {"DigestFinal", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_DigestFinal(s, nullptr, nullptr); }},
    {"SignInit", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_SignInit(s, nullptr, 0); }},
    {"Sign", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_Sign(s, nullptr, 0, nullptr, nullptr); }},
    {"SignUpdate", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_SignUpdate(s, nullptr, 0); }},
    {"SignFinal", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_SignFinal(s, nullptr, nullptr); }},
    {"VerifyInit", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_VerifyInit(s, nullptr, 0); }},
    {"Verify", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_Verify(s, nullptr, 0, nullptr, 0); }},
    {"VerifyUpdate", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_VerifyUpdate(s, nullptr, 0); }},
    {"VerifyFinal", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_VerifyFinal(s, nullptr, 0); }},
    {"GenerateKey", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_GenerateKey(s, nullptr, nullptr, 0, nullptr); }},
    {"GenerateKeyPair",
     [](CContext& c, CK_SESSION_HANDLE s) {
         return c.C_GenerateKeyPair(s, nullptr, nullptr, 0, nullptr, 0, nullptr, nullptr);
     }},
    {"WrapKey", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_WrapKey(s, nullptr, 0, 0, nullptr, nullptr); }},
    {"UnwrapKey",
     [](CContext& c, CK_SESSION_HANDLE s) { return c.C_UnwrapKey(s, nullptr, 0, nullptr, 0, nullptr, 0, nullptr); }},
    {"DeriveKey", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_DeriveKey(s, nullptr, 0, nullptr, 0, nullptr); }},
};

class NotInitializedTest : public ContextFixture, public ::testing::WithParamInterface<CallCase> {};

TEST_P(NotInitializedTest, AnswersNotInitializedEvenWithNullArguments)
{
    EXPECT_EQ(GetParam().call(*context, 1), CKR_CRYPTOKI_NOT_INITIALIZED);
}

INSTANTIATE_TEST_SUITE_P(Functions, NotInitializedTest, ::testing::ValuesIn(kNullCalls),
                         [](const auto& info) { return std::string(info.param.name); });

// Argument checks: each refused before the lock or the session, so an
// unknown session never hides them and nothing reaches the token.
struct RefusalCase {
    const char* name;
    Call call;
    CK_RV rv;
};

void PrintTo(const RefusalCase& refusal, std::ostream* out) { *out << refusal.name; }

const RefusalCase kRefusals[] = {
    {"EncryptInitNullMechanism", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_EncryptInit(s, nullptr, 1); },
     CKR_ARGUMENTS_BAD},
    {"EncryptInitLengthWithoutParameter",
     [](CContext& c, CK_SESSION_HANDLE s) { return c.C_EncryptInit(s, &g_lengthWithoutParameter, 1); },
     CKR_ARGUMENTS_BAD},
    {"DecryptInitNullMechanism", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_DecryptInit(s, nullptr, 1); },
     CKR_ARGUMENTS_BAD},
    {"DecryptInitLengthWithoutParameter",
     [](CContext& c, CK_SESSION_HANDLE s) { return c.C_DecryptInit(s, &g_lengthWithoutParameter, 1); },
     CKR_ARGUMENTS_BAD},
    {"DigestInitNullMechanism", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_DigestInit(s, nullptr); },
     CKR_ARGUMENTS_BAD},
    {"DigestInitLengthWithoutParameter",
     [](CContext& c, CK_SESSION_HANDLE s) { return c.C_DigestInit(s, &g_lengthWithoutParameter); }, CKR_ARGUMENTS_BAD},
    {"SignInitLengthWithoutParameter",
     [](CContext& c, CK_SESSION_HANDLE s) { return c.C_SignInit(s, &g_lengthWithoutParameter, 1); }, CKR_ARGUMENTS_BAD},
    {"VerifyInitNullMechanism", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_VerifyInit(s, nullptr, 1); },
     CKR_ARGUMENTS_BAD},
    {"SignNullLength", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_Sign(s, g_bytes, 16, g_out, nullptr); },
     CKR_ARGUMENTS_BAD},
    {"SignNullDataWithLength",
     [](CContext& c, CK_SESSION_HANDLE s) { return c.C_Sign(s, nullptr, 16, g_out, outLength()); }, CKR_ARGUMENTS_BAD},
    {"SignFinalNullLength", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_SignFinal(s, g_out, nullptr); },
     CKR_ARGUMENTS_BAD},
    {"GenerateKeyNullTemplate",
     [](CContext& c, CK_SESSION_HANDLE s) { return c.C_GenerateKey(s, &g_mechanism, nullptr, 0, &g_handle); },
     CKR_ARGUMENTS_BAD},
    {"GenerateKeyNullHandle",
     [](CContext& c, CK_SESSION_HANDLE s) { return c.C_GenerateKey(s, &g_mechanism, g_template, 1, nullptr); },
     CKR_ARGUMENTS_BAD},
    {"GenerateKeyLengthWithoutParameter",
     [](CContext& c, CK_SESSION_HANDLE s) {
         return c.C_GenerateKey(s, &g_lengthWithoutParameter, g_template, 1, &g_handle);
     },
     CKR_ARGUMENTS_BAD},
    {"GenerateKeyPairNullPrivateTemplate",
     [](CContext& c, CK_SESSION_HANDLE s) {
         return c.C_GenerateKeyPair(s, &g_mechanism, g_template, 1, nullptr, 0, &g_handle, &g_handle2);
     },
     CKR_ARGUMENTS_BAD},
    {"GenerateKeyPairNullPublicHandle",
     [](CContext& c, CK_SESSION_HANDLE s) {
         return c.C_GenerateKeyPair(s, &g_mechanism, g_template, 1, g_template, 1, nullptr, &g_handle2);
     },
     CKR_ARGUMENTS_BAD},
    {"GenerateKeyPairLengthWithoutParameter",
     [](CContext& c, CK_SESSION_HANDLE s) {
         return c.C_GenerateKeyPair(s, &g_lengthWithoutParameter, g_template, 1, g_template, 1, &g_handle, &g_handle2);
     },
     CKR_ARGUMENTS_BAD},
    {"WrapKeyNullLength",
     [](CContext& c, CK_SESSION_HANDLE s) { return c.C_WrapKey(s, &g_mechanism, 1, 2, g_out, nullptr); },
     CKR_ARGUMENTS_BAD},
    {"WrapKeyLengthWithoutParameter",
     [](CContext& c, CK_SESSION_HANDLE s) {
         return c.C_WrapKey(s, &g_lengthWithoutParameter, 1, 2, g_out, outLength());
     },
     CKR_ARGUMENTS_BAD},
    {"DeriveKeyNoBaseKey",
     [](CContext& c, CK_SESSION_HANDLE s) { return c.C_DeriveKey(s, &g_mechanism, 0, g_template, 1, &g_handle); },
     CKR_ARGUMENTS_BAD},
    {"DeriveKeyNullTemplateWithCount",
     [](CContext& c, CK_SESSION_HANDLE s) { return c.C_DeriveKey(s, &g_mechanism, 1, nullptr, 1, &g_handle); },
     CKR_ARGUMENTS_BAD},
    {"DeriveKeyNullHandle",
     [](CContext& c, CK_SESSION_HANDLE s) { return c.C_DeriveKey(s, &g_mechanism, 1, g_template, 1, nullptr); },
     CKR_ARGUMENTS_BAD},
    {"DeriveKeyLengthWithoutParameter",
     [](CContext& c, CK_SESSION_HANDLE s) {
         return c.C_DeriveKey(s, &g_lengthWithoutParameter, 1, g_template, 1, &g_handle);
     },
     CKR_ARGUMENTS_BAD},
    {"EncryptInitParameterAbove32Bits",
     [](CContext& c, CK_SESSION_HANDLE s) { return c.C_EncryptInit(s, &g_hugeParameter, 1); }, CKR_ARGUMENTS_BAD},
    {"DecryptInitParameterAbove32Bits",
     [](CContext& c, CK_SESSION_HANDLE s) { return c.C_DecryptInit(s, &g_hugeParameter, 1); }, CKR_ARGUMENTS_BAD},
    {"DigestInitParameterAbove32Bits",
     [](CContext& c, CK_SESSION_HANDLE s) { return c.C_DigestInit(s, &g_hugeParameter); }, CKR_ARGUMENTS_BAD},
    {"SignInitParameterAbove32Bits",
     [](CContext& c, CK_SESSION_HANDLE s) { return c.C_SignInit(s, &g_hugeParameter, 1); }, CKR_ARGUMENTS_BAD},
    {"VerifyInitParameterAbove32Bits",
     [](CContext& c, CK_SESSION_HANDLE s) { return c.C_VerifyInit(s, &g_hugeParameter, 1); }, CKR_ARGUMENTS_BAD},
    {"GenerateKeyParameterAbove32Bits",
     [](CContext& c, CK_SESSION_HANDLE s) { return c.C_GenerateKey(s, &g_hugeParameter, g_template, 1, &g_handle); },
     CKR_ARGUMENTS_BAD},
    {"GenerateKeyAttributeAbove32Bits",
     [](CContext& c, CK_SESSION_HANDLE s) { return c.C_GenerateKey(s, &g_mechanism, g_hugeTemplate, 1, &g_handle); },
     CKR_ARGUMENTS_BAD},
    {"GenerateKeyPairParameterAbove32Bits",
     [](CContext& c, CK_SESSION_HANDLE s) {
         return c.C_GenerateKeyPair(s, &g_hugeParameter, g_template, 1, g_template, 1, &g_handle, &g_handle2);
     },
     CKR_ARGUMENTS_BAD},
    {"GenerateKeyPairPublicAttributeAbove32Bits",
     [](CContext& c, CK_SESSION_HANDLE s) {
         return c.C_GenerateKeyPair(s, &g_mechanism, g_hugeTemplate, 1, g_template, 1, &g_handle, &g_handle2);
     },
     CKR_ARGUMENTS_BAD},
    {"GenerateKeyPairPrivateAttributeAbove32Bits",
     [](CContext& c, CK_SESSION_HANDLE s) {
         return c.C_GenerateKeyPair(s, &g_mechanism, g_template, 1, g_hugeTemplate, 1, &g_handle, &g_handle2);
     },
     CKR_ARGUMENTS_BAD},
    {"WrapKeyParameterAbove32Bits",
     [](CContext& c, CK_SESSION_HANDLE s) { return c.C_WrapKey(s, &g_hugeParameter, 1, 2, g_out, outLength()); },
     CKR_ARGUMENTS_BAD},
    {"UnwrapKeyParameterAbove32Bits",
     [](CContext& c, CK_SESSION_HANDLE s) {
         return c.C_UnwrapKey(s, &g_hugeParameter, 1, g_bytes, 16, g_template, 1, &g_handle);
     },
     CKR_ARGUMENTS_BAD},
    {"UnwrapKeyAttributeAbove32Bits",
     [](CContext& c, CK_SESSION_HANDLE s) {
         return c.C_UnwrapKey(s, &g_mechanism, 1, g_bytes, 16, g_hugeTemplate, 1, &g_handle);
     },
     CKR_ARGUMENTS_BAD},
    {"UnwrapKeyWrappedKeyAbove32Bits",
     [](CContext& c, CK_SESSION_HANDLE s) {
         return c.C_UnwrapKey(s, &g_mechanism, 1, g_bytes, kBeyond32Bits, g_template, 1, &g_handle);
     },
     CKR_DATA_LEN_RANGE},
    {"DeriveKeyParameterAbove32Bits",
     [](CContext& c, CK_SESSION_HANDLE s) { return c.C_DeriveKey(s, &g_hugeParameter, 1, g_template, 1, &g_handle); },
     CKR_ARGUMENTS_BAD},
    {"DeriveKeyAttributeAbove32Bits",
     [](CContext& c, CK_SESSION_HANDLE s) { return c.C_DeriveKey(s, &g_mechanism, 1, g_hugeTemplate, 1, &g_handle); },
     CKR_ARGUMENTS_BAD},
    {"EncryptDataAbove32Bits",
     [](CContext& c, CK_SESSION_HANDLE s) { return c.C_Encrypt(s, g_bytes, kBeyond32Bits, g_out, outLength()); },
     CKR_DATA_LEN_RANGE},
    {"SignDataAbove32Bits",
     [](CContext& c, CK_SESSION_HANDLE s) { return c.C_Sign(s, g_bytes, kBeyond32Bits, g_out, outLength()); },
     CKR_DATA_LEN_RANGE},
    {"VerifyDataAbove32Bits",
     [](CContext& c, CK_SESSION_HANDLE s) { return c.C_Verify(s, g_bytes, kBeyond32Bits, g_bytes, 16); },
     CKR_DATA_LEN_RANGE},
    {"VerifySignatureAbove32Bits",
     [](CContext& c, CK_SESSION_HANDLE s) { return c.C_Verify(s, g_bytes, 16, g_bytes, kBeyond32Bits); },
     CKR_DATA_LEN_RANGE},
    {"VerifyFinalSignatureAbove32Bits",
     [](CContext& c, CK_SESSION_HANDLE s) { return c.C_VerifyFinal(s, g_bytes, kBeyond32Bits); }, CKR_DATA_LEN_RANGE},
};

class ArgumentCheckTest : public CryptoFixture, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(ArgumentCheckTest, RefusedBeforeTheSessionOrTheToken)
{
    EXPECT_EQ(GetParam().call(*context, kUnknownSession), GetParam().rv);
    EXPECT_EQ(GetParam().call(*context, session), GetParam().rv);
    EXPECT_EQ(exchanges(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Checks, ArgumentCheckTest, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

class EncryptInitCheckTest : public CryptoFixture {};

TEST_F(EncryptInitCheckTest, EachRefusalHasItsDebugLine)
{
    EXPECT_EQ(context->C_EncryptInit(session, nullptr, 1), CKR_ARGUMENTS_BAD);
    EXPECT_TRUE(logged("C_EncryptInit invalid params - mechanism is NULL."));
    EXPECT_FALSE(logged("C_EncryptInit invalid params - mechanism is NULL but param len is not null."));
    EXPECT_EQ(context->C_EncryptInit(session, &g_lengthWithoutParameter, 1), CKR_ARGUMENTS_BAD);
    EXPECT_TRUE(logged("C_EncryptInit invalid params - mechanism is NULL but param len is not null."));
}

}  // namespace
