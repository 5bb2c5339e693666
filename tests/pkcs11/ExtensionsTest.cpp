// The library's own calls (vexa.h) against scripted fake tokens: what each
// sends, how the chunked transfers loop, and what reaches the caller.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Extensions.h"
#include "ScriptedTokenFixture.h"

namespace {

using namespace vexa::test;
namespace ext = vexa::pkcs11::extensions;

constexpr uint32_t kMore = CKR_VEXA_MORE_DATA;

Bytes pattern(size_t length)
{
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7 + i / 256);
    }
    return bytes;
}

Response answer(uint32_t rv)
{
    Response response;
    response.rv = rv;
    return response;
}

Response chunk(uint32_t rv, Bytes output, std::optional<uint32_t> cursor)
{
    Response response = answer(rv);
    response.output = std::move(output);
    response.handle = cursor;
    return response;
}

TokenConfigRecord freshRecord()
{
    TokenConfigRecord record;
    std::memset(&record, 0xEE, sizeof record);
    record.version = VEXA_TOKEN_CONFIG_VERSION;
    record.size = VEXA_TOKEN_CONFIG_SIZE;
    return record;
}

class ExtensionsTest : public ScriptedTokenFixture {
protected:
    // Answers the requests in turn with `replies`; a request beyond them fails the test.
    void replyInTurn(std::vector<Response> replies)
    {
        auto next = std::make_shared<size_t>(0);
        script([replies, next](const Request&) {
            if (*next >= replies.size()) {
                ADD_FAILURE() << "more requests than scripted replies";
                return answer(CKR_GENERAL_ERROR);
            }
            return replies[(*next)++];
        });
    }
};

// Every call refuses before C_Initialize, whatever its arguments, and sends nothing.
TEST_F(ExtensionsTest, EveryCallNeedsAnInitialisedLibrary)
{
    tokens = useTokens(1);
    TokenConfigRecord record = freshRecord();
    uint8_t buffer[16];
    CK_ULONG length = sizeof buffer;
    const std::vector<std::pair<std::string, std::function<uint32_t()>>> calls = {
        {"u32GetTokenConfig", [&] { return ext::getTokenConfig(*context, 0, &record); }},
        {"u32GetTokenConfig null", [&] { return ext::getTokenConfig(*context, 0, nullptr); }},
        {"u32SetTokenValue", [&] { return ext::setTokenValue(*context, 0, 1, 2); }},
        {"u32SetTokenByte", [&] { return ext::setTokenByte(*context, 0, 1); }},
        {"u32SetTokenBytePair", [&] { return ext::setTokenBytePair(*context, 0, 1, 2); }},
        {"u32SetTokenConfigWord", [&] { return ext::setTokenConfigWord(*context, 0, 1); }},
        {"u32TokenCommand", [&] { return ext::tokenCommand(*context, 0); }},
        {"u32WriteTokenData", [&] { return ext::writeTokenData(*context, 0, buffer, sizeof buffer); }},
        {"u32WriteTokenData null", [&] { return ext::writeTokenData(*context, 0, nullptr, 0); }},
        {"u32ReadTokenData", [&] { return ext::readTokenData(*context, 0, buffer, &length); }},
        {"u32ReadTokenData null", [&] { return ext::readTokenData(*context, 0, nullptr, nullptr); }},
    };
    for (const auto& [name, call] : calls) {
        EXPECT_EQ(call(), CKR_CRYPTOKI_NOT_INITIALIZED) << name;
    }
    EXPECT_FALSE(ext::readLogEntries(*context, 0, buffer, &length));
    EXPECT_FALSE(context->bSetDateTime(0));
    EXPECT_TRUE(token().requests.empty());
    EXPECT_EQ(length, sizeof buffer);
}

TEST_F(ExtensionsTest, GetTokenConfigFillsTheRecordFromTheReply)
{
    startTokens(1);
    Response reply = answer(CKR_OK);
    reply.tokenConfig = tokenConfig(0x101, 0x22, 0x33, 0x12345);
    this->reply(reply);
    TokenConfigRecord record = freshRecord();

    ASSERT_EQ(ext::getTokenConfig(*context, 0, &record), CKR_OK);
    EXPECT_EQ(record.config1, 0x01);  // low 8 bits
    EXPECT_EQ(record.config2, 0x22);
    EXPECT_EQ(record.config3, 0x33);
    EXPECT_EQ(record.reserved, 0xEE);   // never written
    EXPECT_EQ(record.config4, 0x2345);  // low 16 bits
    ASSERT_EQ(sent().size(), 1u);
    const Request request = sent()[0];
    EXPECT_EQ(request.function, 53u);
    EXPECT_FALSE(request.session || request.handle || request.handle2 || request.value || request.tokenConfig);
    EXPECT_TRUE(logged("u32GetTokenConfig"));
}

TEST_F(ExtensionsTest, GetTokenConfigKeepsWhatTheTokenLeftOut)
{
    startTokens(1);
    Response partial = answer(CKR_OK);
    partial.tokenConfig = tokenConfig(7, std::nullopt, std::nullopt, std::nullopt);
    replyInTurn({answer(CKR_DEVICE_ERROR), partial});
    TokenConfigRecord record = freshRecord();

    EXPECT_EQ(ext::getTokenConfig(*context, 0, &record), CKR_DEVICE_ERROR);
    EXPECT_EQ(record.config1, 0xEE);
    EXPECT_EQ(ext::getTokenConfig(*context, 0, &record), CKR_OK);
    EXPECT_EQ(record.config1, 7);
    EXPECT_EQ(record.config2, 0xEE);
    EXPECT_EQ(record.config4, 0xEEEE);
}

TEST_F(ExtensionsTest, GetTokenConfigRefusesARecordItDoesNotKnow)
{
    startTokens(1);
    TokenConfigRecord wrongVersion = freshRecord();
    wrongVersion.version = 2;
    TokenConfigRecord wrongSize = freshRecord();
    wrongSize.size = 9;
    for (TokenConfigRecord* record : {static_cast<TokenConfigRecord*>(nullptr), &wrongVersion, &wrongSize}) {
        EXPECT_EQ(ext::getTokenConfig(*context, 0, record), CKR_ARGUMENTS_BAD);
    }
    EXPECT_TRUE(token().requests.empty());
}

// Each setter's arguments land in the fields the token reads, and its answer
// comes back unchanged.
TEST_F(ExtensionsTest, SettersSendTheirValuesInTheirFields)
{
    struct Case {
        std::string name;
        std::function<uint32_t()> call;
        uint32_t function;
        std::function<void(const Request&)> check;
    };
    startTokens(2);
    const std::vector<Case> cases = {
        {"u32SetTokenValue", [&] { return ext::setTokenValue(*context, 1, 0xA1B2C3D4, 4); }, 54,
         [](const Request& r) {
             EXPECT_EQ(r.handle, 4u);
             EXPECT_EQ(r.value, 0xA1B2C3D4u);
             EXPECT_FALSE(r.handle2);
         }},
        {"u32SetTokenByte", [&] { return ext::setTokenByte(*context, 1, 0xFE); }, 55,
         [](const Request& r) {
             EXPECT_EQ(r.handle, 0xFEu);
             EXPECT_FALSE(r.handle2 || r.value);
         }},
        {"u32SetTokenBytePair", [&] { return ext::setTokenBytePair(*context, 1, 0x12, 0x34); }, 56,
         [](const Request& r) {
             EXPECT_EQ(r.handle, 0x12u);
             EXPECT_EQ(r.handle2, 0x34u);
         }},
        {"u32SetTokenConfigWord", [&] { return ext::setTokenConfigWord(*context, 1, 0xBEEF); }, 61,
         [](const Request& r) {
             ASSERT_TRUE(r.tokenConfig);
             EXPECT_TRUE(r.tokenConfig->has_config4);
             EXPECT_EQ(r.tokenConfig->config4, 0xBEEFu);
             EXPECT_FALSE(r.tokenConfig->has_config1 || r.tokenConfig->has_config2 || r.tokenConfig->has_config3);
             EXPECT_FALSE(r.handle);
         }},
        {"u32TokenCommand", [&] { return ext::tokenCommand(*context, 1); }, 57,
         [](const Request& r) { EXPECT_FALSE(r.handle || r.handle2 || r.value || r.tokenConfig); }},
    };
    reply(answer(CKR_VENDOR_DEFINED + 5), 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        token(1).requests.clear();
        EXPECT_EQ(c.call(), CKR_VENDOR_DEFINED + 5);
        ASSERT_EQ(sent(1).size(), 1u);
        EXPECT_EQ(sent(1)[0].function, c.function);
        EXPECT_FALSE(sent(1)[0].session);
        c.check(sent(1)[0]);
    }
    EXPECT_TRUE(token(0).requests.empty());
}

TEST_F(ExtensionsTest, SlotCallsOnAnUnknownSlotFailInTheCallPath)
{
    startTokens(1);
    EXPECT_EQ(ext::tokenCommand(*context, 7), CKR_FUNCTION_FAILED);
    EXPECT_TRUE(logged("Port not found"));
    EXPECT_TRUE(token().requests.empty());
}

// The calls take no library lock: only the per-thread current slot keeps a
// call on one thread from sending to the slot another thread has just chosen.
TEST_F(ExtensionsTest, CallsOnTwoThreadsEachReachTheirOwnSlot)
{
    startTokens(2);
    constexpr int kCalls = 5000;
    uint32_t failures[2] = {0, 0};
    std::thread first([&] {
        for (int i = 0; i < kCalls; ++i) {
            failures[0] += ext::setTokenByte(*context, 0, 1) == CKR_OK ? 0 : 1;
        }
    });
    std::thread second([&] {
        for (int i = 0; i < kCalls; ++i) {
            failures[1] += ext::tokenCommand(*context, 1) == CKR_OK ? 0 : 1;
        }
    });
    first.join();
    second.join();

    EXPECT_EQ(failures[0] + failures[1], 0u);
    const std::pair<size_t, uint32_t> expected[] = {{0, 55}, {1, 57}};
    for (const auto& entry : expected) {
        const uint32_t function = entry.second;
        const auto requests = sent(entry.first);
        EXPECT_EQ(requests.size(), static_cast<size_t>(kCalls));
        EXPECT_TRUE(
            std::all_of(requests.begin(), requests.end(), [&](const Request& r) { return r.function == function; }));
    }
}

TEST_F(ExtensionsTest, WriteSendsChunksOf1536WithTheirEndOffsets)
{
    startTokens(1);
    replyInTurn({answer(kMore), answer(kMore), answer(CKR_OK)});
    const Bytes data = pattern(3073);

    ASSERT_EQ(ext::writeTokenData(*context, 0, data.data(), data.size()), CKR_OK);
    const auto requests = sent();
    ASSERT_EQ(requests.size(), 3u);
    const uint32_t ends[] = {1536, 3072, 3073};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(requests[i].function, 60u);
        EXPECT_EQ(requests[i].handle, 3073u);
        EXPECT_EQ(requests[i].handle2, ends[i]);
        const size_t start = i == 0 ? 0 : ends[i - 1];
        EXPECT_EQ(requests[i].data, Bytes(data.begin() + start, data.begin() + ends[i]));
    }
}

TEST_F(ExtensionsTest, WriteStopsAtTheFirstAnswerOtherThanMoreData)
{
    struct Case {
        std::vector<Response> replies;
        uint32_t result;
    };
    const std::vector<Case> cases = {
        {{answer(CKR_OK)}, CKR_OK},  // the token wants no more
        {{answer(kMore), answer(CKR_DATA_INVALID)}, CKR_DATA_INVALID},
        {{answer(kMore), answer(kMore), answer(kMore)}, kMore},  // it still wants more after the last
    };
    startTokens(1);
    const Bytes data = pattern(3073);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.result);
        token().requests.clear();
        replyInTurn(c.replies);
        EXPECT_EQ(ext::writeTokenData(*context, 0, data.data(), data.size()), c.result);
        EXPECT_EQ(sent().size(), c.replies.size());
    }
}

TEST_F(ExtensionsTest, WriteChecksItsArgumentsBeforeSending)
{
    startTokens(1);
    const uint8_t byte = 1;
    EXPECT_EQ(ext::writeTokenData(*context, 1, &byte, 1), CKR_SLOT_ID_INVALID);
    EXPECT_EQ(ext::writeTokenData(*context, 0, nullptr, 1), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(ext::writeTokenData(*context, 0, &byte, 0), CKR_ARGUMENTS_BAD);
    // The total travels in 32 bits: a longer block must not be cut silently.
    EXPECT_EQ(ext::writeTokenData(*context, 0, &byte, CK_ULONG(1) << 32), CKR_DATA_LEN_RANGE);
    EXPECT_TRUE(token().requests.empty());
}

TEST_F(ExtensionsTest, ReadPlacesTheChunksOneAfterAnother)
{
    startTokens(1);
    const Bytes data = pattern(4000);
    replyInTurn({chunk(kMore, Bytes(data.begin(), data.begin() + 1536), 1536),
                 chunk(kMore, Bytes(data.begin() + 1536, data.begin() + 3072), 3072),
                 chunk(CKR_OK, Bytes(data.begin() + 3072, data.end()), 4000)});
    Bytes buffer(5000, 0xEE);
    CK_ULONG length = buffer.size();

    ASSERT_EQ(ext::readTokenData(*context, 0, buffer.data(), &length), CKR_OK);
    EXPECT_EQ(length, 4000u);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 4000), data);
    EXPECT_EQ(buffer[4000], 0xEE);
    const auto requests = sent();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_FALSE(requests[0].handle);
    EXPECT_EQ(requests[1].handle, 1536u);
    EXPECT_EQ(requests[2].handle, 3072u);
    for (const Request& request : requests) {
        EXPECT_EQ(request.function, 59u);
        EXPECT_EQ(request.outputLength, 5000u);
    }
}

// A failure part of the way keeps what arrived; a token that promises more
// without sending any cannot keep the library asking for ever; a full
// buffer ends the read with "more data".
TEST_F(ExtensionsTest, ReadEndsWithWhatArrivedWhenTheTransferCannotGoOn)
{
    struct Case {
        std::string name;
        std::vector<Response> replies;
        uint32_t result;
        CK_ULONG length;
    };
    const std::vector<Case> cases = {
        {"error", {chunk(kMore, Bytes(10, 1), 10), chunk(CKR_DEVICE_MEMORY, {}, {})}, CKR_DEVICE_MEMORY, 10},
        {"no progress", {chunk(kMore, Bytes(10, 1), 10), chunk(kMore, {}, 10)}, CKR_DEVICE_ERROR, 10},
        {"full buffer", {chunk(kMore, Bytes(60, 1), 60), chunk(kMore, Bytes(40, 2), 100)}, kMore, 100},
        {"token ignores the capacity",
         {chunk(kMore, Bytes(60, 1), 60), chunk(CKR_OK, Bytes(41, 2), 101)},
         CKR_FUNCTION_FAILED,
         60},
    };
    startTokens(1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        token().requests.clear();
        replyInTurn(c.replies);
        Bytes buffer(100, 0);
        CK_ULONG length = buffer.size();
        EXPECT_EQ(ext::readTokenData(*context, 0, buffer.data(), &length), c.result);
        EXPECT_EQ(length, c.length);
        EXPECT_EQ(sent().size(), c.replies.size());
    }
}

TEST_F(ExtensionsTest, ReadChecksItsArgumentsBeforeSending)
{
    startTokens(1);
    uint8_t buffer[4];
    CK_ULONG length = sizeof buffer;
    CK_ULONG zero = 0;
    EXPECT_EQ(ext::readTokenData(*context, 3, buffer, &length), CKR_SLOT_ID_INVALID);
    EXPECT_EQ(ext::readTokenData(*context, 0, nullptr, &length), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(ext::readTokenData(*context, 0, buffer, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(ext::readTokenData(*context, 0, buffer, &zero), CKR_ARGUMENTS_BAD);
    EXPECT_TRUE(token().requests.empty());
}

TEST_F(ExtensionsTest, ReadLogAsksForTheLengthThenReadsTheLog)
{
    startTokens(1);
    const std::string log = "12:00 clock set\n";
    script([&](const Request& request) {
        Response response = answer(CKR_OK);
        response.outputLength = static_cast<uint32_t>(log.size());
        if (request.outputLength.value_or(0) < log.size()) {
            response.rv = CKR_BUFFER_TOO_SMALL;
        } else {
            response.output = Bytes(log.begin(), log.end());
        }
        return response;
    });

    CK_ULONG length = 0;
    EXPECT_FALSE(ext::readLogEntries(*context, 0, nullptr, &length));
    EXPECT_EQ(length, log.size());
    Bytes buffer(length + 10, 0);
    length = buffer.size();
    ASSERT_TRUE(ext::readLogEntries(*context, 0, buffer.data(), &length));
    EXPECT_EQ(length, log.size());
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + length), log);

    const auto requests = sent();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].function, 45u);
    EXPECT_EQ(requests[0].outputLength, 0u);
    EXPECT_EQ(requests[1].outputLength, log.size() + 10);
    EXPECT_TRUE(logged("bReadLogEntries"));
}

// Without a length pointer there is no capacity to send and nowhere to put
// the answer: refused, nothing read.
TEST_F(ExtensionsTest, ReadLogRefusesMissingLengthOrBuffer)
{
    startTokens(1);
    uint8_t buffer[8];
    CK_ULONG length = sizeof buffer;
    EXPECT_FALSE(ext::readLogEntries(*context, 0, buffer, nullptr));
    EXPECT_FALSE(ext::readLogEntries(*context, 0, nullptr, nullptr));
    EXPECT_FALSE(ext::readLogEntries(*context, 0, nullptr, &length));
    EXPECT_EQ(length, sizeof buffer);
    EXPECT_TRUE(token().requests.empty());
}

TEST_F(ExtensionsTest, ReadLogFailureWithoutALengthLeavesTheCallersLength)
{
    startTokens(1);
    reply(answer(CKR_DEVICE_ERROR));
    uint8_t buffer[8];
    CK_ULONG length = sizeof buffer;
    EXPECT_FALSE(ext::readLogEntries(*context, 0, buffer, &length));
    EXPECT_EQ(length, sizeof buffer);
}

}  // namespace
