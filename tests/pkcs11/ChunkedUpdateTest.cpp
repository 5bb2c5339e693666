#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "CryptoFixture.h"

using namespace vexa::pkcs11;
using namespace vexa::test;

namespace {

using UpdateCall = std::function<CK_RV(CContext&, CK_SESSION_HANDLE, CK_BYTE*, CK_ULONG)>;

struct UpdateFunction {
    const char* name;
    uint32_t function;
    UpdateCall call;
};

void PrintTo(const UpdateFunction& update, std::ostream* out) { *out << update.name; }

const UpdateFunction kUpdates[] = {
    {"SignUpdate", 25,
     [](CContext& c, CK_SESSION_HANDLE s, CK_BYTE* p, CK_ULONG n) { return c.C_SignUpdate(s, p, n); }},
    {"VerifyUpdate", 26,
     [](CContext& c, CK_SESSION_HANDLE s, CK_BYTE* p, CK_ULONG n) { return c.C_VerifyUpdate(s, p, n); }},
    {"DigestUpdate", 31,
     [](CContext& c, CK_SESSION_HANDLE s, CK_BYTE* p, CK_ULONG n) { return c.C_DigestUpdate(s, p, n); }},
};

Bytes counting(size_t length)
{
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7 + i / 256);
    }
    return bytes;
}

class ChunkedUpdateTest : public CryptoFixture, public ::testing::WithParamInterface<UpdateFunction> {
protected:
    CK_RV update(Bytes& input) { return GetParam().call(*context, session, input.data(), input.size()); }

    std::vector<size_t> chunkSizes()
    {
        std::vector<size_t> sizes;
        for (const Request& request : sent()) {
            EXPECT_EQ(request.function, GetParam().function);
            EXPECT_EQ(request.session, kTokenSession);
            sizes.push_back(request.data ? request.data->size() : SIZE_MAX);
        }
        return sizes;
    }
};

TEST_P(ChunkedUpdateTest, CutsLongInputIntoChunksOf2000InOrder)
{
    Bytes input = counting(4500);
    ASSERT_EQ(update(input), CKR_OK);
    EXPECT_EQ(chunkSizes(), std::vector<size_t>({2000, 2000, 500}));
    Bytes joined;
    for (const Request& request : sent()) {
        joined.insert(joined.end(), request.data->begin(), request.data->end());
    }
    EXPECT_EQ(joined, input);
}

TEST_P(ChunkedUpdateTest, ExactMultipleSendsNoEmptyTail)
{
    Bytes input = counting(4000);
    ASSERT_EQ(update(input), CKR_OK);
    EXPECT_EQ(chunkSizes(), std::vector<size_t>({2000, 2000}));
}

TEST_P(ChunkedUpdateTest, StopsAtTheFirstError)
{
    script([this](const Request&) { return status(exchanges() == 2 ? CKR_OPERATION_NOT_INITIALIZED : CKR_OK); });
    Bytes input = counting(4500);
    EXPECT_EQ(update(input), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(chunkSizes(), std::vector<size_t>({2000, 2000}));
}

TEST_P(ChunkedUpdateTest, EmptyInputSendsOneEmptyChunk)
{
    Bytes input = counting(1);
    ASSERT_EQ(GetParam().call(*context, session, input.data(), 0), CKR_OK);
    EXPECT_EQ(chunkSizes(), std::vector<size_t>({0}));
}

TEST_P(ChunkedUpdateTest, UnknownSessionSendsNothing)
{
    Bytes input = counting(10);
    EXPECT_EQ(GetParam().call(*context, kUnknownSession, input.data(), input.size()), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(exchanges(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Functions, ChunkedUpdateTest, ::testing::ValuesIn(kUpdates),
                         [](const auto& info) { return std::string(info.param.name); });

class NullPartTest : public CryptoFixture {};

// A refused update ends the operation (PKCS#11), so the token's is ended
// before the session's next request of that family.
TEST_F(NullPartTest, OnlyVerifyUpdateAcceptsANullEmptyPart)
{
    EXPECT_EQ(context->C_SignUpdate(session, nullptr, 0), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(context->C_DigestUpdate(session, nullptr, 0), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(context->C_VerifyUpdate(session, nullptr, 5), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(exchanges(), 0u);
    ASSERT_EQ(context->C_VerifyUpdate(session, nullptr, 0), CKR_OK);
    const auto requests = sent();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].function, 28u) << "C_VerifyFinal ends the refused operation";
    EXPECT_EQ(requests[1].function, 26u);
    EXPECT_EQ(requests[1].data, Bytes());
}

}  // namespace
