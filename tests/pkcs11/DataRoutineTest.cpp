#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "CryptoFixture.h"

using namespace vexa::pkcs11;
using namespace vexa::test;

namespace {

// One data function of the encrypt and decrypt families, called with the
// caller's input, output buffer and output length pointer.
using DataCall = std::function<CK_RV(CContext&, CK_SESSION_HANDLE, CK_BYTE*, CK_ULONG, CK_BYTE*, CK_ULONG*)>;

struct DataFunction {
    const char* name;
    uint32_t function;
    bool takesInput;
    DataCall call;
};

void PrintTo(const DataFunction& data, std::ostream* out) { *out << data.name; }

const DataFunction kDataFunctions[] = {
    {"Encrypt", 3, true,
     [](CContext& c, CK_SESSION_HANDLE s, CK_BYTE* in, CK_ULONG n, CK_BYTE* out, CK_ULONG* len) {
         return c.C_Encrypt(s, in, n, out, len);
     }},
    {"Decrypt", 5, true,
     [](CContext& c, CK_SESSION_HANDLE s, CK_BYTE* in, CK_ULONG n, CK_BYTE* out, CK_ULONG* len) {
         return c.C_Decrypt(s, in, n, out, len);
     }},
    {"EncryptUpdate", 6, true,
     [](CContext& c, CK_SESSION_HANDLE s, CK_BYTE* in, CK_ULONG n, CK_BYTE* out, CK_ULONG* len) {
         return c.C_EncryptUpdate(s, in, n, out, len);
     }},
    {"DecryptUpdate", 7, true,
     [](CContext& c, CK_SESSION_HANDLE s, CK_BYTE* in, CK_ULONG n, CK_BYTE* out, CK_ULONG* len) {
         return c.C_DecryptUpdate(s, in, n, out, len);
     }},
    {"EncryptFinal", 8, false,
     [](CContext& c, CK_SESSION_HANDLE s, CK_BYTE*, CK_ULONG, CK_BYTE* out, CK_ULONG* len) {
         return c.C_EncryptFinal(s, out, len);
     }},
    {"DecryptFinal", 9, false,
     [](CContext& c, CK_SESSION_HANDLE s, CK_BYTE*, CK_ULONG, CK_BYTE* out, CK_ULONG* len) {
         return c.C_DecryptFinal(s, out, len);
     }},
};

class DataFunctionTest : public CryptoFixture, public ::testing::WithParamInterface<DataFunction> {
protected:
    CK_RV run(CK_BYTE* out, CK_ULONG* length, CK_SESSION_HANDLE target = 0)
    {
        return GetParam().call(*context, target == 0 ? session : target, input, sizeof(input), out, length);
    }

    CK_BYTE input[5] = {'h', 'e', 'l', 'l', 'o'};
};

TEST_P(DataFunctionTest, SendsInputAndCapacityAndCopiesTheOutput)
{
    reply(withOutput(CKR_OK, Bytes{0xC1, 0xC2, 0xC3}, 3u));
    CK_BYTE out[8] = {};
    CK_ULONG length = sizeof(out);
    ASSERT_EQ(run(out, &length), CKR_OK);
    const auto requests = sent();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].function, GetParam().function);
    EXPECT_EQ(requests[0].session, kTokenSession);
    if (GetParam().takesInput) {
        EXPECT_EQ(requests[0].data, Bytes(input, input + sizeof(input)));
    } else {
        EXPECT_FALSE(requests[0].data);
    }
    EXPECT_FALSE(requests[0].lengthOnly);
    EXPECT_EQ(requests[0].outputLength, 8u);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(Bytes(out, out + 4), Bytes({0xC1, 0xC2, 0xC3, 0x00}));
}

TEST_P(DataFunctionTest, NullOutputAsksForTheLengthOnly)
{
    reply(withLength(CKR_OK, 48u));
    CK_ULONG length = 16;
    ASSERT_EQ(run(nullptr, &length), CKR_OK);
    const auto requests = sent();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].lengthOnly, true);
    EXPECT_EQ(requests[0].outputLength, 16u);
    EXPECT_EQ(length, 48u);
}

// PKCS#11 asks for the length pointer in every one of these calls; a length
// question without one is the caller's error, not a success.
TEST_P(DataFunctionTest, NullLengthPointerIsRefusedUnsent)
{
    reply(withLength(CKR_OK, 48u));
    CK_BYTE out[8] = {};
    EXPECT_EQ(run(nullptr, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(run(out, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(run(nullptr, nullptr, kUnknownSession), CKR_ARGUMENTS_BAD) << "arguments come first";
    EXPECT_EQ(exchanges(), 0u);
}

TEST_P(DataFunctionTest, UnknownSessionSendsNothing)
{
    CK_BYTE out[8];
    CK_ULONG length = sizeof(out);
    EXPECT_EQ(run(out, &length, kUnknownSession), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(exchanges(), 0u);
    EXPECT_EQ(length, 8u);
}

INSTANTIATE_TEST_SUITE_P(Functions, DataFunctionTest, ::testing::ValuesIn(kDataFunctions),
                         [](const auto& info) { return std::string(info.param.name); });

// The length convention, through C_Encrypt: what the caller's length becomes
// for each shape of reply.
struct LengthCase {
    const char* name;
    Response reply;
    bool withBuffer;
    CK_RV rv;
    CK_ULONG length;  // the caller's length afterwards (it starts at 4)
};

void PrintTo(const LengthCase& lengthCase, std::ostream* out) { *out << lengthCase.name; }

class LengthConventionTest : public CryptoFixture, public ::testing::WithParamInterface<LengthCase> {};

TEST_P(LengthConventionTest, CallersLengthFollowsTheReply)
{
    reply(GetParam().reply);
    CK_BYTE data[2] = {1, 2};
    CK_BYTE out[6] = {0, 0, 0, 0, 0xEE, 0xEE};  // capacity 4, then guard bytes
    CK_ULONG length = 4;
    EXPECT_EQ(context->C_Encrypt(session, data, sizeof(data), GetParam().withBuffer ? out : nullptr, &length),
              GetParam().rv);
    EXPECT_EQ(length, GetParam().length);
    EXPECT_EQ(out[4], 0xEE);
    EXPECT_EQ(out[5], 0xEE);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, LengthConventionTest,
    ::testing::Values(
        LengthCase{"OutputLengthWins", withOutput(CKR_OK, Bytes{1, 2}, 2u), true, CKR_OK, 2},
        LengthCase{"WithoutOutputLengthTheBytesReceived", withOutput(CKR_OK, Bytes{1, 2, 3}), true, CKR_OK, 3},
        LengthCase{"NothingReceivedIsZero", status(CKR_OK), true, CKR_OK, 0},
        LengthCase{"TooSmallGivesTheNeededSize", withLength(CKR_BUFFER_TOO_SMALL, 32u), true, CKR_BUFFER_TOO_SMALL, 32},
        LengthCase{"OutputBeyondCapacityFailsTheCall", withOutput(CKR_OK, Bytes{1, 2, 3, 4, 5}, 5u), true,
                   CKR_FUNCTION_FAILED, 0},
        LengthCase{"SuccessClaimingMoreThanTheBufferFails", withOutput(CKR_OK, Bytes{1, 2}, 100u), true,
                   CKR_FUNCTION_FAILED, 2},
        LengthCase{"LengthQueryAnsweredWithoutLengthIsZero", status(CKR_OK), false, CKR_OK, 0},
        LengthCase{"TokenErrorPassesThrough", status(CKR_KEY_HANDLE_INVALID), true, CKR_KEY_HANDLE_INVALID, 0}),
    [](const auto& info) { return std::string(info.param.name); });

class DataRoutineTest : public CryptoFixture {};

TEST_F(DataRoutineTest, NullInputSendsNoData)
{
    CK_BYTE out[8];
    CK_ULONG length = sizeof(out);
    ASSERT_EQ(context->C_Decrypt(session, nullptr, 0, out, &length), CKR_OK);
    EXPECT_FALSE(sent().at(0).data);
}

// Cut to 32 bits, a capacity of 2^32 would announce no room at all.
TEST_F(DataRoutineTest, CapacityBeyond32BitsIsAnnouncedAsTheLargest)
{
    using OutputCall = std::function<CK_RV(CK_BYTE*, CK_ULONG*)>;
    CK_BYTE data[1] = {1};
    CK_MECHANISM wrap{CKM_AES_KEY_WRAP, nullptr, 0};
    const struct {
        const char* name;
        OutputCall call;
        std::optional<uint32_t> announced;
    } cases[] = {
        {"Encrypt", [&](CK_BYTE* out, CK_ULONG* len) { return context->C_Encrypt(session, data, 1, out, len); },
         0xFFFFFFFFu},
        {"Sign", [&](CK_BYTE* out, CK_ULONG* len) { return context->C_Sign(session, data, 1, out, len); }, 0xFFFFFFFFu},
        {"SignFinal", [&](CK_BYTE* out, CK_ULONG* len) { return context->C_SignFinal(session, out, len); },
         std::nullopt},
        {"DigestFinal", [&](CK_BYTE* out, CK_ULONG* len) { return context->C_DigestFinal(session, out, len); },
         0xFFFFFFFFu},
        {"WrapKey", [&](CK_BYTE* out, CK_ULONG* len) { return context->C_WrapKey(session, &wrap, 1, 2, out, len); },
         0xFFFFFFFFu},
    };
    reply(withOutput(CKR_OK, Bytes{1, 2, 3, 4}, 4u));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        token().requests.clear();
        CK_BYTE out[4];
        CK_ULONG length = 0x100000000ULL;
        EXPECT_EQ(c.call(out, &length), CKR_OK);
        EXPECT_EQ(length, 4u);
        EXPECT_EQ(sent().at(0).outputLength, c.announced);
    }
}

TEST_F(DataRoutineTest, InputLongerThanAnyRequestIsRefusedUnread)
{
    CK_BYTE data[1] = {1};
    CK_BYTE out[4];
    CK_ULONG length = sizeof(out);
    EXPECT_EQ(context->C_Encrypt(session, data, 0x100000001ULL, out, &length), CKR_DATA_LEN_RANGE);
    EXPECT_EQ(exchanges(), 0u);
}

TEST_F(DataRoutineTest, FailedExchangeFailsTheCall)
{
    token().responder = [](const Bytes&) { return Bytes(); };
    CK_BYTE data[1] = {1};
    CK_BYTE out[4];
    CK_ULONG length = sizeof(out);
    EXPECT_EQ(context->C_Encrypt(session, data, sizeof(data), out, &length), CKR_FUNCTION_FAILED);
}

}  // namespace
