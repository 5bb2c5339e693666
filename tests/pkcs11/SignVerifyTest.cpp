#include <gtest/gtest.h>

#include <vector>

#include "CryptoFixture.h"

using namespace vexa::pkcs11;
using namespace vexa::test;

namespace {

class SignTest : public CryptoFixture {
protected:
    CK_BYTE data[4] = {'d', 'a', 't', 'a'};
};

// The length query asks the token with no room: the token's answer (its
// length, or that no operation is active) is what the caller gets, and the
// operation goes on.
TEST_F(SignTest, LengthQueryAsksTheTokenWithNoRoom)
{
    reply(withLength(CKR_BUFFER_TOO_SMALL, 64u));
    CK_ULONG length = 0;
    EXPECT_EQ(context->C_Sign(session, data, sizeof(data), nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 64u);
    length = 0;
    EXPECT_EQ(context->C_Sign(kUnknownSession, data, sizeof(data), nullptr, &length), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(length, 0u);
    const auto requests = sent();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].outputLength, 0u);
}

TEST_F(SignTest, ArgumentsAreCheckedBeforeTheLengthQuery)
{
    EXPECT_EQ(context->C_Sign(session, data, sizeof(data), nullptr, nullptr), CKR_ARGUMENTS_BAD);
    CK_ULONG length = 0;
    EXPECT_EQ(context->C_Sign(session, nullptr, 4, nullptr, &length), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(length, 0u);
}

// What pkcs11-tool and OpenSSL do: ask, then sign into a buffer of the
// announced size; the token's own length must reach the caller.
TEST_F(SignTest, SecondCallSendsTheRealCapacityAndPassesTheAnswerOn)
{
    const Bytes signature(64, 0x5A);
    script([&](const Request& request) {
        return request.outputLength == 0u ? withLength(CKR_BUFFER_TOO_SMALL, 64u) : withOutput(CKR_OK, signature, 64u);
    });
    CK_ULONG length = 0;
    ASSERT_EQ(context->C_Sign(session, data, sizeof(data), nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 64u);
    std::vector<CK_BYTE> buffer(length, 0);
    ASSERT_EQ(context->C_Sign(session, data, sizeof(data), buffer.data(), &length), CKR_OK);
    const auto requests = sent();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].function, 22u);
    EXPECT_EQ(requests[1].session, kTokenSession);
    EXPECT_EQ(requests[1].data, Bytes(data, data + sizeof(data)));
    EXPECT_EQ(requests[1].outputLength, 64u);
    EXPECT_FALSE(requests[1].lengthOnly);
    EXPECT_EQ(length, 64u);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 64), signature);
}

struct SignReplyCase {
    const char* name;
    Response reply;
    CK_RV rv;
    CK_ULONG length;  // starts at 128
};

void PrintTo(const SignReplyCase& signCase, std::ostream* out) { *out << signCase.name; }

class SignReplyTest : public SignTest, public ::testing::WithParamInterface<SignReplyCase> {};

TEST_P(SignReplyTest, CallersLengthFollowsTheReply)
{
    reply(GetParam().reply);
    std::vector<CK_BYTE> buffer(130, 0xEE);
    CK_ULONG length = 128;
    EXPECT_EQ(context->C_Sign(session, data, sizeof(data), buffer.data(), &length), GetParam().rv);
    EXPECT_EQ(length, GetParam().length);
    EXPECT_EQ(buffer[128], 0xEE);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, SignReplyTest,
    ::testing::Values(SignReplyCase{"TooSmallGivesTheNeededSize", withLength(CKR_BUFFER_TOO_SMALL, 256u),
                                    CKR_BUFFER_TOO_SMALL, 256},
                      SignReplyCase{"BytesWithoutLengthCount", withOutput(CKR_OK, Bytes(70, 1)), CKR_OK, 70},
                      SignReplyCase{"NothingArrivedKeepsTheLength", status(CKR_KEY_FUNCTION_NOT_PERMITTED),
                                    CKR_KEY_FUNCTION_NOT_PERMITTED, 128},
                      SignReplyCase{"SuccessClaimingMoreThanTheBufferFails", withOutput(CKR_OK, Bytes(10, 1), 200u),
                                    CKR_FUNCTION_FAILED, 10},
                      SignReplyCase{"MoreThanTheCapacityFailsWithNothingAccepted",
                                    withOutput(CKR_OK, Bytes(129, 1), 129u), CKR_FUNCTION_FAILED, 0}),
    [](const auto& info) { return std::string(info.param.name); });

class SignFinalTest : public CryptoFixture {};

TEST_F(SignFinalTest, LengthIsWhatArrivedNotWhatTheTokenClaims)
{
    reply(withOutput(CKR_OK, Bytes(48, 0x33), 100u));
    CK_BYTE signature[64] = {};
    CK_ULONG length = sizeof(signature);
    ASSERT_EQ(context->C_SignFinal(session, signature, &length), CKR_OK);
    const auto requests = sent();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].function, 27u);
    EXPECT_EQ(requests[0].session, kTokenSession);
    EXPECT_FALSE(requests[0].outputLength);
    EXPECT_FALSE(requests[0].lengthOnly);
    EXPECT_EQ(length, 48u);
    EXPECT_EQ(signature[47], 0x33);
}

TEST_F(SignFinalTest, NothingArrivedKeepsTheLength)
{
    reply(withLength(CKR_OPERATION_NOT_INITIALIZED, 20u));
    CK_BYTE signature[64];
    CK_ULONG length = sizeof(signature);
    EXPECT_EQ(context->C_SignFinal(session, signature, &length), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(length, 64u);
}

// The token's signature is kept for a caller without room for it: the
// caller gets CKR_BUFFER_TOO_SMALL with the length, then the signature.
TEST_F(SignFinalTest, SignatureLargerThanTheBufferIsKeptForTheNextCall)
{
    reply(withOutput(CKR_OK, Bytes(65, 0x33)));
    CK_BYTE signature[66] = {};
    CK_ULONG length = 64;
    EXPECT_EQ(context->C_SignFinal(session, signature, &length), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 65u);
    EXPECT_EQ(signature[0], 0);
    length = sizeof(signature);
    EXPECT_EQ(context->C_SignFinal(session, signature, &length), CKR_OK);
    EXPECT_EQ(length, 65u);
    EXPECT_EQ(signature[64], 0x33);
    EXPECT_EQ(exchanges(), 1u);
    EXPECT_EQ(context->C_SignFinal(session, nullptr, nullptr), CKR_ARGUMENTS_BAD);
}

class VerifyTest : public CryptoFixture {
protected:
    CK_BYTE data[3] = {1, 2, 3};
    CK_BYTE signature[4] = {9, 8, 7, 6};
};

TEST_F(VerifyTest, SendsDataAndSignatureAndReturnsTheVerdict)
{
    reply(status(CKR_SIGNATURE_INVALID));
    EXPECT_EQ(context->C_Verify(session, data, sizeof(data), signature, sizeof(signature)), CKR_SIGNATURE_INVALID);
    const auto requests = sent();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].function, 24u);
    EXPECT_EQ(requests[0].session, kTokenSession);
    EXPECT_EQ(requests[0].data, Bytes(data, data + sizeof(data)));
    EXPECT_EQ(requests[0].data2, Bytes(signature, signature + sizeof(signature)));
}

TEST_F(VerifyTest, FinalSendsTheSignatureAsData)
{
    ASSERT_EQ(context->C_VerifyFinal(session, signature, sizeof(signature)), CKR_OK);
    ASSERT_EQ(context->C_VerifyFinal(session, nullptr, 0), CKR_OK);
    const auto requests = sent();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].function, 28u);
    EXPECT_EQ(requests[0].data, Bytes(signature, signature + sizeof(signature)));
    EXPECT_EQ(requests[1].data, Bytes());
}

TEST_F(VerifyTest, MissingBytesWithALengthAreRefused)
{
    EXPECT_EQ(context->C_Verify(session, nullptr, 3, signature, sizeof(signature)), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(context->C_Verify(session, data, sizeof(data), nullptr, 0), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(context->C_VerifyFinal(session, nullptr, 4), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(exchanges(), 0u);
    EXPECT_EQ(context->C_Verify(session, nullptr, 0, signature, sizeof(signature)), CKR_OK);
}

}  // namespace
