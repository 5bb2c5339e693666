// The token's own functions: configuration values, data store, event log.
#include <gmock/gmock.h>

#include <regex>
#include <sstream>

#include "DataStore.h"
#include "TokenBehaviour.h"

namespace vexa::test::engine {
namespace {

using ::testing::ElementsAre;

Request slotCall(uint32_t function, const std::function<void(Request&)>& fill = {})
{
    Request r;
    r.function = function;
    if (fill) {
        fill(r);
    }
    return r;
}

std::vector<uint32_t> configOf(const Response& resp)
{
    const RpcTokenConfig& c = resp.tokenConfig.value();
    EXPECT_TRUE(c.has_config1 && c.has_config2 && c.has_config3 && c.has_config4);
    return {c.config1, c.config2, c.config3, c.config4};
}

TEST_P(TokenBehaviour, ConfigurationValues)
{
    EXPECT_THAT(configOf(token().call(slotCall(fn::GetTokenConfig))), ElementsAre(0, 0, 0, 0));

    struct Case {
        const char* what;
        Request req;
        CK_RV rv;
    };
    const Case cases[] = {
        {"byte", slotCall(fn::SetTokenByte, [](Request& r) { r.handle = 7; }), CKR_OK},
        {"pair", slotCall(fn::SetTokenBytePair, [](Request& r) { r.handle = 8, r.handle2 = 9; }), CKR_OK},
        {"word",
         slotCall(fn::SetTokenConfigWord,
                  [](Request& r) { r.tokenConfig = RpcTokenConfig{false, 0, false, 0, false, 0, true, 0xBEEF}; }),
         CKR_OK},
        {"value 3", slotCall(fn::SetTokenValue, [](Request& r) { r.handle = 3, r.value = 0x30; }), CKR_OK},
        {"byte too big", slotCall(fn::SetTokenByte, [](Request& r) { r.handle = 256; }), CKR_ARGUMENTS_BAD},
        {"pair without second", slotCall(fn::SetTokenBytePair, [](Request& r) { r.handle = 1; }), CKR_ARGUMENTS_BAD},
        {"word too big",
         slotCall(fn::SetTokenConfigWord,
                  [](Request& r) { r.tokenConfig = RpcTokenConfig{false, 0, false, 0, false, 0, true, 0x10000}; }),
         CKR_ARGUMENTS_BAD},
        {"unknown selector", slotCall(fn::SetTokenValue, [](Request& r) { r.handle = 5, r.value = 1; }),
         CKR_ARGUMENTS_BAD},
        {"byte selector, word value", slotCall(fn::SetTokenValue, [](Request& r) { r.handle = 1, r.value = 0x100; }),
         CKR_ARGUMENTS_BAD},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(token().call(c.req).rv, c.rv) << c.what;
    }
    // Refused calls change nothing.
    EXPECT_THAT(configOf(token().call(slotCall(fn::GetTokenConfig))), ElementsAre(7, 8, 0x30, 0xBEEF));

    EXPECT_EQ(token().call(slotCall(fn::TokenCommand)).rv, CKR_OK);
    EXPECT_THAT(configOf(token().call(slotCall(fn::GetTokenConfig))), ElementsAre(0, 0, 0, 0));
}

Response writeChunk(TokenClient& t, uint32_t total, const Bytes& chunk, uint32_t end)
{
    return t.call(slotCall(fn::WriteTokenData, [&](Request& r) {
        r.handle = total;
        r.data = chunk;
        r.handle2 = end;
    }));
}

// Reads the block as the library does: the capacity in every request, the
// cursor from the second on.
Bytes readBlock(TokenClient& t, uint32_t capacity)
{
    Bytes read;
    std::optional<uint32_t> cursor;
    Response r;
    do {
        r = t.call(slotCall(fn::ReadTokenData, [&](Request& q) {
            q.outputLength = capacity;
            q.handle = cursor;
        }));
        EXPECT_TRUE(r.rv == CKR_OK || r.rv == CKR_OPERATION_ACTIVE) << r.rv;
        if (r.output) {
            read.insert(read.end(), r.output->begin(), r.output->end());
        }
        cursor = r.handle.value_or(0);
    } while (r.rv == CKR_OPERATION_ACTIVE && read.size() <= capacity);
    return read;
}

TEST_P(TokenBehaviour, DataStoreMovesInChunks)
{
    Bytes data(3073);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 7);
    }
    std::vector<CK_RV> answers;
    for (uint32_t off = 0; off < data.size(); off += 1536) {
        const uint32_t end = std::min<uint32_t>(off + 1536, data.size());
        answers.push_back(writeChunk(token(), 3073, Bytes(data.begin() + off, data.begin() + end), end).rv);
    }
    EXPECT_THAT(answers, ElementsAre(CKR_OPERATION_ACTIVE, CKR_OPERATION_ACTIVE, CKR_OK));

    Response tooSmall = token().call(slotCall(fn::ReadTokenData, [](Request& r) { r.outputLength = 3072; }));
    EXPECT_EQ(tooSmall.rv, CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(tooSmall.outputLength, 3073u);

    EXPECT_EQ(readBlock(token(), 4000), data);
}

TEST_P(TokenBehaviour, DataStoreHoldsBlocksBeyond64KiB)
{
    Bytes data(100 * 1000);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 13 + i / 256);
    }
    CK_RV rv = CKR_OK;
    for (uint32_t off = 0; off < data.size(); off += 1536) {
        const uint32_t end = std::min<uint32_t>(off + 1536, data.size());
        rv = writeChunk(token(), data.size(), Bytes(data.begin() + off, data.begin() + end), end).rv;
        ASSERT_EQ(rv, end < data.size() ? CKR_OPERATION_ACTIVE : CKR_OK) << "chunk ending at " << end;
    }
    EXPECT_EQ(readBlock(token(), data.size()), data);
}

TEST_P(TokenBehaviour, DataStoreKeepsItsBlockWhenATransferBreaks)
{
    ASSERT_EQ(writeChunk(token(), 4, bytesOf("keep"), 4).rv, CKR_OK);
    struct Case {
        const char* what;
        uint32_t total;
        Bytes chunk;
        uint32_t end;
        CK_RV rv;
    } cases[] = {
        {"first chunk", 3000, Bytes(1536, 1), 1536, CKR_OPERATION_ACTIVE},
        {"gap", 3000, Bytes(10, 2), 2000, CKR_DATA_INVALID},
        {"continues a broken transfer", 3000, Bytes(10, 2), 1546, CKR_DATA_INVALID},
        {"end beyond total", 10, Bytes(20, 3), 20, CKR_DATA_INVALID},
        {"chunk longer than its end", 100, Bytes(20, 3), 10, CKR_DATA_INVALID},
        {"empty", 0, Bytes(1, 3), 1, CKR_DATA_LEN_RANGE},
        {"larger than the store", vexa::sim::engine::CDataStore::kCapacity + 1, Bytes(8, 4), 8, CKR_DATA_LEN_RANGE},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(writeChunk(token(), c.total, c.chunk, c.end).rv, c.rv) << c.what;
    }
    Response r = token().call(slotCall(fn::ReadTokenData, [](Request& q) { q.outputLength = 100; }));
    EXPECT_EQ(r.rv, CKR_OK);
    EXPECT_EQ(r.output, bytesOf("keep"));
}

TEST_P(TokenBehaviour, EventLogRecordsWhatTheTokenDid)
{
    uint32_t s = userSession();
    call(fn::Logout, s);
    call(fn::Login, s, [](Request& r) {
        r.value = CKU_USER;
        r.data = bytesOf("000000");
    });
    token().call(slotCall(fn::SetTokenByte, [](Request& r) { r.handle = 1; }));

    Response size = token().call(slotCall(fn::ReadLogEntries, [](Request& r) { r.outputLength = 0; }));
    ASSERT_EQ(size.rv, CKR_BUFFER_TOO_SMALL);
    Response log = token().call(slotCall(fn::ReadLogEntries, [&](Request& r) { r.outputLength = *size.outputLength; }));
    ASSERT_EQ(log.rv, CKR_OK);
    ASSERT_EQ(log.output->size(), *size.outputLength);

    std::vector<std::string> events;
    std::istringstream lines(std::string(log.output->begin(), log.output->end()));
    const std::regex line(R"((\d{4}-\d\d-\d\d \d\d:\d\d:\d\d) (.*))");
    for (std::string l; std::getline(lines, l);) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, line)) << l;
        events.push_back(m[2]);
    }
    EXPECT_THAT(events, ::testing::IsSupersetOf({"login user", "logout", "login user refused (0x000000a0)",
                                                 "configuration set to 1 0 0 0"}));
    EXPECT_EQ(events.back(), "configuration set to 1 0 0 0");
}

}  // namespace
}  // namespace vexa::test::engine
