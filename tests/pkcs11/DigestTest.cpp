#include <gtest/gtest.h>

#include <vector>

#include "CryptoFixture.h"

using namespace vexa::pkcs11;
using namespace vexa::test;

namespace {

constexpr uint32_t kDigestUpdate = 31;
constexpr uint32_t kDigestFinal = 32;
const Bytes kDigest(32, 0xD1);

// A token whose digest operation always ends in 32 bytes.
class DigestTest : public CryptoFixture {
protected:
    void SetUp() override
    {
        CryptoFixture::SetUp();
        script([](const Request& request) {
            Response response;
            if (request.function == kDigestFinal) {
                response.outputLength = static_cast<uint32_t>(kDigest.size());
                if (!request.lengthOnly) {
                    response.output = kDigest;
                }
            }
            return response;
        });
    }

    std::vector<uint32_t> functionsSent()
    {
        std::vector<uint32_t> functions;
        for (const Request& request : sent()) {
            functions.push_back(request.function);
        }
        return functions;
    }

    CK_BYTE data[3] = {'a', 'b', 'c'};
};

TEST_F(DigestTest, FinalWithBufferSendsItsCapacity)
{
    CK_BYTE digest[64] = {};
    CK_ULONG length = sizeof(digest);
    ASSERT_EQ(context->C_DigestFinal(session, digest, &length), CKR_OK);
    const auto requests = sent();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].function, kDigestFinal);
    EXPECT_EQ(requests[0].outputLength, 64u);
    EXPECT_FALSE(requests[0].lengthOnly);
    EXPECT_EQ(length, 32u);
    EXPECT_EQ(Bytes(digest, digest + 32), kDigest);
    EXPECT_EQ(digest[32], 0);
}

TEST_F(DigestTest, FinalWithoutBufferIsALengthQuery)
{
    CK_ULONG length = 0;
    ASSERT_EQ(context->C_DigestFinal(session, nullptr, &length), CKR_OK);
    const auto requests = sent();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].lengthOnly, true);
    EXPECT_FALSE(requests[0].outputLength);
    EXPECT_EQ(length, 32u);
}

// Without a length pointer the token would end the operation and the digest
// would be lost while the caller heard CKR_OK: refused, and nothing is sent.
TEST_F(DigestTest, WithoutLengthPointerIsRefusedUnsent)
{
    CK_BYTE data[3] = {1, 2, 3};
    CK_BYTE digest[64] = {};
    EXPECT_EQ(context->C_DigestFinal(session, digest, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(context->C_DigestFinal(session, nullptr, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(context->C_Digest(session, data, sizeof(data), digest, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(context->C_Digest(session, nullptr, 0, nullptr, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(digest[0], 0);
}

TEST_F(DigestTest, DataAndBufferAbsorbThenFinish)
{
    CK_BYTE digest[64] = {};
    CK_ULONG length = sizeof(digest);
    ASSERT_EQ(context->C_Digest(session, data, sizeof(data), digest, &length), CKR_OK);
    EXPECT_EQ(functionsSent(), std::vector<uint32_t>({kDigestUpdate, kDigestFinal}));
    EXPECT_EQ(sent()[0].data, Bytes(data, data + sizeof(data)));
    EXPECT_EQ(length, 32u);
    EXPECT_EQ(Bytes(digest, digest + 32), kDigest);
}

// A caller may repeat C_Digest with the same data after CKR_BUFFER_TOO_SMALL:
// a buffer below the largest digest is measured before any data is sent.
TEST_F(DigestTest, SmallBufferIsMeasuredBeforeTheDataIsSent)
{
    CK_BYTE digest[32] = {};
    CK_ULONG length = 16;
    EXPECT_EQ(context->C_Digest(session, data, sizeof(data), digest, &length), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 32u);
    EXPECT_EQ(functionsSent(), std::vector<uint32_t>({kDigestFinal}));
    EXPECT_EQ(sent()[0].lengthOnly, true);

    token().requests.clear();
    ASSERT_EQ(context->C_Digest(session, data, sizeof(data), digest, &length), CKR_OK);
    EXPECT_EQ(functionsSent(), std::vector<uint32_t>({kDigestFinal, kDigestUpdate, kDigestFinal}));
    EXPECT_EQ(Bytes(digest, digest + 32), kDigest);
}

TEST_F(DigestTest, DataWithoutBufferOnlyAsksForTheLength)
{
    CK_ULONG length = 0;
    ASSERT_EQ(context->C_Digest(session, data, sizeof(data), nullptr, &length), CKR_OK);
    EXPECT_EQ(functionsSent(), std::vector<uint32_t>({kDigestFinal}));
    EXPECT_EQ(sent()[0].lengthOnly, true);
    EXPECT_FALSE(sent()[0].data);
    EXPECT_EQ(length, 32u);
}

TEST_F(DigestTest, NoDataWithBufferIsTheDigestOfNothing)
{
    CK_BYTE digest[32] = {};
    CK_ULONG length = sizeof(digest);
    ASSERT_EQ(context->C_Digest(session, nullptr, 0, digest, &length), CKR_OK);
    EXPECT_EQ(functionsSent(), std::vector<uint32_t>({kDigestFinal}));
    EXPECT_EQ(Bytes(digest, digest + 32), kDigest);
}

// PKCS#11: a C_Digest that fails ends the operation, so the bad call still
// finishes the token's digest.
TEST_F(DigestTest, NoDataWithALengthIsRefusedAfterEndingTheOperation)
{
    CK_BYTE digest[32] = {};
    CK_ULONG length = sizeof(digest);
    EXPECT_EQ(context->C_Digest(session, nullptr, 5, digest, &length), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(functionsSent(), std::vector<uint32_t>({kDigestFinal}));

    token().requests.clear();
    length = 99;
    EXPECT_EQ(context->C_Digest(session, nullptr, 5, nullptr, &length), CKR_ARGUMENTS_BAD);
    const auto requests = sent();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].function, kDigestFinal);
    EXPECT_EQ(requests[0].outputLength, 64u) << "finished into a scratch buffer";
    EXPECT_EQ(length, 99u);
}

// An empty message's length query keeps the operation for the real call.
TEST_F(DigestTest, NoDataWithoutBufferIsALengthQuery)
{
    CK_ULONG length = 0;
    ASSERT_EQ(context->C_Digest(session, nullptr, 0, nullptr, &length), CKR_OK);
    const auto requests = sent();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].lengthOnly, true);
    EXPECT_EQ(length, 32u);
}

TEST_F(DigestTest, FailedUpdateIsNotFollowedByFinal)
{
    reply(status(CKR_OPERATION_NOT_INITIALIZED));
    CK_BYTE digest[64];
    CK_ULONG length = sizeof(digest);
    EXPECT_EQ(context->C_Digest(session, data, sizeof(data), digest, &length), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(functionsSent(), std::vector<uint32_t>({kDigestUpdate}));
}

TEST_F(DigestTest, DigestKeySendsTheKeyHandle)
{
    ASSERT_EQ(context->C_DigestKey(session, 0x100000009ULL), CKR_OK);
    const auto requests = sent();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].function, 50u);
    EXPECT_EQ(requests[0].session, kTokenSession);
    EXPECT_EQ(requests[0].handle, 9u);
}

}  // namespace
