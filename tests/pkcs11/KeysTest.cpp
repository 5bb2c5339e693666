#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "CryptoFixture.h"

using namespace vexa::pkcs11;
using namespace vexa::test;

namespace {

class KeysTest : public CryptoFixture {
protected:
    CK_OBJECT_CLASS secretKey = CKO_SECRET_KEY;
    CK_ULONG valueLength = 32;
    CK_BBOOL yes = CK_TRUE;
    CK_BYTE label[3] = {'a', 'e', 's'};
    CK_ATTRIBUTE keyTemplate[4] = {{CKA_CLASS, &secretKey, sizeof(secretKey)},
                                   {CKA_VALUE_LEN, &valueLength, sizeof(valueLength)},
                                   {CKA_TOKEN, &yes, sizeof(yes)},
                                   {CKA_LABEL, label, sizeof(label)}};
};

void expectKeyTemplate(const std::vector<WireAttribute>& sent)
{
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0].type, CKA_CLASS);
    EXPECT_EQ(sent[0].number, CKO_SECRET_KEY);
    EXPECT_EQ(sent[1].number, 32u);
    EXPECT_EQ(sent[2].flag, true);
    EXPECT_EQ(sent[3].value, Bytes({'a', 'e', 's'}));
}

TEST_F(KeysTest, GenerateKeySendsMechanismAndTemplateAndReturnsTheHandle)
{
    reply(withHandles(CKR_OK, 0x41u));
    CK_MECHANISM mechanism{CKM_AES_KEY_GEN, nullptr, 0};
    CK_OBJECT_HANDLE key = 0;
    ASSERT_EQ(context->C_GenerateKey(session, &mechanism, keyTemplate, 4, &key), CKR_OK);
    EXPECT_EQ(key, 0x41u);
    const auto requests = sent();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].function, 1u);
    EXPECT_EQ(requests[0].session, kTokenSession);
    EXPECT_EQ(requests[0].mechanism->type, CKM_AES_KEY_GEN);
    expectKeyTemplate(requests[0].templ);
    EXPECT_FALSE(logged("C_GenerateKey")) << "C_GenerateKey writes no trace line";
}

TEST_F(KeysTest, AnswerWithoutAHandleLeavesTheCallersHandle)
{
    reply(status(CKR_TEMPLATE_INCOMPLETE));
    CK_MECHANISM mechanism{CKM_AES_KEY_GEN, nullptr, 0};
    CK_OBJECT_HANDLE key = 99;
    EXPECT_EQ(context->C_GenerateKey(session, &mechanism, keyTemplate, 4, &key), CKR_TEMPLATE_INCOMPLETE);
    EXPECT_EQ(key, 99u);
}

class KeyPairTest : public KeysTest {
protected:
    CK_RV generatePair(CK_OBJECT_HANDLE& publicKey, CK_OBJECT_HANDLE& privateKey)
    {
        CK_MECHANISM mechanism{CKM_EC_KEY_PAIR_GEN, nullptr, 0};
        return context->C_GenerateKeyPair(session, &mechanism, keyTemplate, 4, keyTemplate + 2, 1, &publicKey,
                                          &privateKey);
    }
};

TEST_F(KeyPairTest, SendsBothTemplatesAndReturnsBothHandles)
{
    reply(withHandles(CKR_OK, 0x11u, 0x12u));
    CK_OBJECT_HANDLE publicKey = 0;
    CK_OBJECT_HANDLE privateKey = 0;
    ASSERT_EQ(generatePair(publicKey, privateKey), CKR_OK);
    EXPECT_EQ(publicKey, 0x11u);
    EXPECT_EQ(privateKey, 0x12u);
    const auto requests = sent();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].function, 15u);
    EXPECT_EQ(requests[0].mechanism->type, CKM_EC_KEY_PAIR_GEN);
    EXPECT_FALSE(requests[0].mechanism->parameterLength);
    expectKeyTemplate(requests[0].templ);
    ASSERT_EQ(requests[0].templ2.size(), 1u);
    EXPECT_EQ(requests[0].templ2[0].type, CKA_TOKEN);
}

TEST_F(KeyPairTest, ExchangeWaitsForTheKeyGenerationTimeoutAndRestoresTheOldOne)
{
    token().timeout = 10000;
    uint32_t duringExchange = 0;
    script([&](const Request&) {
        duringExchange = token().timeout;
        return withHandles(CKR_OK, 1u, 2u);
    });
    CK_OBJECT_HANDLE publicKey = 0;
    CK_OBJECT_HANDLE privateKey = 0;
    ASSERT_EQ(generatePair(publicKey, privateKey), CKR_OK);
    EXPECT_EQ(duringExchange, 65000u);
    EXPECT_EQ(token().timeout, 10000u);
}

TEST_F(KeyPairTest, ConfiguredTimeoutIsUsedAndRestoredAfterAFailedExchange)
{
    context->settings().keytimeout = 30000;
    token().timeout = 10000;
    uint32_t duringExchange = 0;
    token().responder = [&](const Bytes&) {
        duringExchange = token().timeout;
        return Bytes();
    };
    CK_OBJECT_HANDLE publicKey = 5;
    CK_OBJECT_HANDLE privateKey = 6;
    EXPECT_EQ(generatePair(publicKey, privateKey), CKR_FUNCTION_FAILED);
    EXPECT_EQ(duringExchange, 30000u);
    EXPECT_EQ(token().timeout, 10000u);
    EXPECT_EQ(publicKey, 5u);
    EXPECT_EQ(privateKey, 6u);
}

TEST_F(KeyPairTest, NoOtherFunctionTouchesTheTimeout)
{
    token().timeout = 10000;
    std::vector<uint32_t> seen;
    script([&](const Request&) {
        seen.push_back(token().timeout);
        return withHandles(CKR_OK, 0x41u);
    });
    CK_MECHANISM mechanism{CKM_AES_KEY_GEN, nullptr, 0};
    CK_OBJECT_HANDLE key = 0;
    ASSERT_EQ(context->C_GenerateKey(session, &mechanism, keyTemplate, 4, &key), CKR_OK);
    ASSERT_EQ(context->C_DigestKey(session, 3), CKR_OK);
    EXPECT_EQ(seen, std::vector<uint32_t>({10000, 10000}));
}

class WrapKeyTest : public CryptoFixture {
protected:
    CK_MECHANISM mechanism{CKM_AES_KEY_WRAP, nullptr, 0};
};

TEST_F(WrapKeyTest, EmptyBufferIsTooSmallWithoutAskingTheToken)
{
    CK_BYTE wrapped[8];
    CK_ULONG length = 0;
    EXPECT_EQ(context->C_WrapKey(session, &mechanism, 4, 5, wrapped, &length), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(exchanges(), 0u);
}

TEST_F(WrapKeyTest, SendsBothKeysAndCapacityAndCopiesTheWrappedKey)
{
    reply(withOutput(CKR_OK, Bytes(40, 0x77), 40u));
    CK_BYTE wrapped[48] = {};
    CK_ULONG length = sizeof(wrapped);
    ASSERT_EQ(context->C_WrapKey(session, &mechanism, 4, 5, wrapped, &length), CKR_OK);
    const auto requests = sent();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].function, 43u);
    EXPECT_EQ(requests[0].handle, 5u) << "the key to wrap";
    EXPECT_EQ(requests[0].handle2, 4u) << "the wrapping key";
    EXPECT_EQ(requests[0].outputLength, 48u);
    EXPECT_EQ(requests[0].mechanism->parameterLength, 0u);
    EXPECT_EQ(length, 40u);
    EXPECT_EQ(wrapped[39], 0x77);
    EXPECT_EQ(wrapped[40], 0);
    EXPECT_TRUE(logged("Wrap Mechanism: 0x00002109"));
    EXPECT_FALSE(logged("C_WrapKey"));
}

TEST_F(WrapKeyTest, WithoutBufferOnlyTheLengthArrives)
{
    reply(withOutput(CKR_OK, Bytes(40, 0x77)));
    CK_ULONG length = 64;
    ASSERT_EQ(context->C_WrapKey(session, &mechanism, 4, 5, nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 40u);
}

// The token sees the caller's length as room even without a buffer; with
// none it may find it too small, and the caller still learns the length.
TEST_F(WrapKeyTest, LengthQueryAnsweredTooSmallSucceedsWithTheLength)
{
    reply(withLength(CKR_BUFFER_TOO_SMALL, 40u));
    CK_ULONG length = 0;
    EXPECT_EQ(context->C_WrapKey(session, &mechanism, 4, 5, nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 40u);
    EXPECT_EQ(sent().at(0).outputLength, 0u);
}

TEST_F(WrapKeyTest, ErrorWithoutLengthKeepsTheCallersLength)
{
    reply(status(CKR_KEY_NOT_WRAPPABLE));
    CK_BYTE wrapped[8];
    CK_ULONG length = sizeof(wrapped);
    EXPECT_EQ(context->C_WrapKey(session, &mechanism, 4, 5, wrapped, &length), CKR_KEY_NOT_WRAPPABLE);
    EXPECT_EQ(length, 8u);
    reply(withLength(CKR_BUFFER_TOO_SMALL, 40u));
    EXPECT_EQ(context->C_WrapKey(session, &mechanism, 4, 5, wrapped, &length), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 40u);
}

class UnwrapKeyTest : public KeysTest {
protected:
    CK_RV unwrap(CK_MECHANISM& mechanism, CK_OBJECT_HANDLE& key)
    {
        return context->C_UnwrapKey(session, &mechanism, 6, wrapped, sizeof(wrapped), keyTemplate, 4, &key);
    }

    CK_BYTE wrapped[5] = {1, 2, 3, 4, 5};
};

TEST_F(UnwrapKeyTest, RsaPkcsLosesItsParameterInTheCallersMechanism)
{
    CK_BYTE parameter[8] = {};
    CK_MECHANISM mechanism{CKM_RSA_PKCS, parameter, sizeof(parameter)};
    reply(withHandles(CKR_OK, 0x21u));
    CK_OBJECT_HANDLE key = 0;
    ASSERT_EQ(unwrap(mechanism, key), CKR_OK);
    EXPECT_EQ(mechanism.pParameter, nullptr);
    EXPECT_EQ(mechanism.ulParameterLen, 0u);
    EXPECT_EQ(key, 0x21u);
    const auto requests = sent();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].function, 44u);
    EXPECT_EQ(requests[0].handle, 6u);
    EXPECT_EQ(requests[0].data, Bytes(wrapped, wrapped + sizeof(wrapped)));
    EXPECT_EQ(requests[0].mechanism->parameter, Bytes());
    EXPECT_EQ(requests[0].mechanism->parameterLength, 0u);
    expectKeyTemplate(requests[0].templ);
    EXPECT_TRUE(logged("Unwrap Mechanism: 0x00000001"));
}

TEST_F(UnwrapKeyTest, OtherTypesKeepAParameterAndLoseALengthWithoutOne)
{
    CK_BYTE parameter[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    CK_MECHANISM withParameter{CKM_AES_CBC_PAD, parameter, sizeof(parameter)};
    CK_MECHANISM lengthOnly{CKM_AES_KEY_WRAP, nullptr, 16};
    CK_OBJECT_HANDLE key = 0;
    reply(withHandles(CKR_OK, 0x21u));
    ASSERT_EQ(unwrap(withParameter, key), CKR_OK);
    ASSERT_EQ(unwrap(lengthOnly, key), CKR_OK);
    EXPECT_EQ(withParameter.ulParameterLen, 8u);
    EXPECT_EQ(lengthOnly.ulParameterLen, 0u);
    const auto requests = sent();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].mechanism->parameter, Bytes(parameter, parameter + 8));
    EXPECT_EQ(requests[1].mechanism->parameterLength, 0u);
}

TEST_F(UnwrapKeyTest, RefusalIsLogged)
{
    reply(status(CKR_WRAPPED_KEY_INVALID));
    CK_MECHANISM mechanism{CKM_AES_KEY_WRAP, nullptr, 0};
    CK_OBJECT_HANDLE key = 0;
    EXPECT_EQ(unwrap(mechanism, key), CKR_WRAPPED_KEY_INVALID);
    EXPECT_TRUE(logged("C_UnwrapKey rv = 0x110"));
}

TEST_F(UnwrapKeyTest, ChecksInOrderWithTheirLines)
{
    CK_MECHANISM mechanism{CKM_RSA_PKCS, label, sizeof(label)};
    CK_OBJECT_HANDLE key = 0;
    EXPECT_EQ(context->C_UnwrapKey(session, nullptr, 6, nullptr, 0, nullptr, 3, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_TRUE(logged("C_UnwrapKey invalid params - null mech or wrapped key"));
    EXPECT_FALSE(logged("C_UnwrapKey invalid params - null template and non-null ulCount."));
    EXPECT_EQ(context->C_UnwrapKey(session, &mechanism, 6, wrapped, 5, nullptr, 3, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_TRUE(logged("C_UnwrapKey invalid params - null template and non-null ulCount."));
    EXPECT_EQ(mechanism.pParameter, nullptr) << "the mechanism is adjusted before the template check";
    EXPECT_FALSE(logged("C_UnwrapKey invalid params - hKey is NULL."));
    EXPECT_EQ(context->C_UnwrapKey(session, &mechanism, 6, wrapped, 5, nullptr, 0, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_TRUE(logged("C_UnwrapKey invalid params - hKey is NULL."));
    EXPECT_EQ(exchanges(), 0u);
    reply(withHandles(CKR_OK, 0x21u));
    EXPECT_EQ(context->C_UnwrapKey(session, &mechanism, 6, wrapped, 5, nullptr, 0, &key), CKR_OK);
}

TEST_F(KeysTest, DeriveKeySendsTheBaseKeyAndTemplate)
{
    reply(withHandles(CKR_OK, 0x31u));
    CK_BYTE data[16] = {1, 2, 3};
    CK_KEY_DERIVATION_STRING_DATA params{data, sizeof(data)};
    CK_MECHANISM mechanism{CKM_AES_ECB_ENCRYPT_DATA, &params, sizeof(params)};
    CK_OBJECT_HANDLE key = 0;
    ASSERT_EQ(context->C_DeriveKey(session, &mechanism, 8, keyTemplate, 4, &key), CKR_OK);
    EXPECT_EQ(key, 0x31u);
    const auto requests = sent();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].function, 49u);
    EXPECT_EQ(requests[0].handle, 8u);
    // The data itself, not the structure that points at it.
    EXPECT_FALSE(requests[0].mechanism->parameter);
    ASSERT_TRUE(requests[0].mechanism->encryptData);
    EXPECT_EQ(requests[0].mechanism->encryptData->data, Bytes(data, data + sizeof(data)));
    expectKeyTemplate(requests[0].templ);
}

}  // namespace
