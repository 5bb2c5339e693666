// The Bitcoin key calls (vexa.h) against scripted fake tokens: the key
// search through the object functions, the import guard, and the fields of
// the public key and signature requests.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "Extensions.h"
#include "ScriptedTokenFixture.h"

namespace {

using namespace vexa::test;
namespace ext = vexa::pkcs11::extensions;

constexpr uint32_t kFindInit = 33;
constexpr uint32_t kFind = 37;
constexpr uint32_t kFindFinal = 38;
constexpr uint32_t kImport = 62;

Response answer(uint32_t rv)
{
    Response response;
    response.rv = rv;
    return response;
}

std::vector<uint32_t> functions(const std::vector<Request>& requests)
{
    std::vector<uint32_t> ids;
    for (const Request& request : requests) {
        ids.push_back(request.function);
    }
    return ids;
}

class ExtensionsBitcoinTest : public ScriptedTokenFixture {
protected:
    void SetUp() override
    {
        startTokens(1);
        session = knownSession(0, 9);
    }

    // A token whose search finds `handles` (4-byte little-endian words) and
    // answers every other call with `otherRv`.
    void tokenWithKeys(const Bytes& handles, uint32_t otherRv = CKR_OK)
    {
        script([handles, otherRv](const Request& request) {
            Response response = answer(
                request.function == kFind || request.function == kFindInit || request.function == kFindFinal ? CKR_OK
                                                                                                             : otherRv);
            if (request.function == kFind) {
                response.output = handles;
            }
            return response;
        });
    }

    CK_SESSION_HANDLE session = 0;
};

// The key the token makes on import has all six attributes, so the search
// names them all and finds no other private key.
TEST_F(ExtensionsBitcoinTest, HasBitcoinKeySearchesForTheKeyByAllItsAttributes)
{
    tokenWithKeys({0x2A, 0x01, 0x00, 0x00});
    CK_OBJECT_HANDLE key = 0;
    ASSERT_EQ(ext::hasBitcoinKey(*context, session, &key), CKR_OK);
    EXPECT_EQ(key, 0x12Au);

    const auto requests = sent();
    ASSERT_EQ(functions(requests), (std::vector<uint32_t>{kFindInit, kFind, kFindFinal}));
    for (const Request& request : requests) {
        EXPECT_EQ(request.session, 9u);
    }
    const auto& search = requests[0].templ;
    ASSERT_EQ(search.size(), 6u);
    const Bytes btc = {'b', 't', 'c'};
    EXPECT_EQ(search[0].type, CKA_CLASS);
    EXPECT_EQ(search[0].number, CKO_PRIVATE_KEY);
    EXPECT_EQ(search[1].type, CKA_LABEL);
    EXPECT_EQ(search[1].value, btc);
    EXPECT_EQ(search[2].type, CKA_ID);
    EXPECT_EQ(search[2].value, btc);
    EXPECT_EQ(search[3].type, CKA_TOKEN);
    EXPECT_EQ(search[3].flag, true);
    EXPECT_EQ(search[4].type, CKA_PRIVATE);
    EXPECT_EQ(search[4].flag, true);
    EXPECT_EQ(search[5].type, CKA_KEY_TYPE);
    EXPECT_EQ(search[5].number, CKK_EC);
    EXPECT_EQ(requests[1].outputLength, 1u);
    EXPECT_TRUE(logged("u32HasBitcoinKey"));
}

TEST_F(ExtensionsBitcoinTest, HasBitcoinKeyReportsAMissingKeyAndAlwaysEndsTheSearch)
{
    tokenWithKeys({});
    CK_OBJECT_HANDLE key = 77;
    EXPECT_EQ(ext::hasBitcoinKey(*context, session, &key), CKR_VEXA_NO_BITCOIN_KEY);
    EXPECT_EQ(key, 77u);
    EXPECT_EQ(functions(sent()), (std::vector<uint32_t>{kFindInit, kFind, kFindFinal}));
}

TEST_F(ExtensionsBitcoinTest, HasBitcoinKeyPassesSearchFailuresOn)
{
    struct Case {
        uint32_t failing;
        std::vector<uint32_t> sentCalls;
    };
    const std::vector<Case> cases = {
        {kFindInit, {kFindInit}},
        {kFind, {kFindInit, kFind, kFindFinal}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failing);
        token().requests.clear();
        script([&](const Request& request) {
            return answer(request.function == c.failing ? CKR_USER_NOT_LOGGED_IN : CKR_OK);
        });
        EXPECT_EQ(ext::hasBitcoinKey(*context, session, nullptr), CKR_USER_NOT_LOGGED_IN);
        EXPECT_EQ(functions(sent()), c.sentCalls);
    }
    EXPECT_EQ(ext::hasBitcoinKey(*context, session + 1, nullptr), CKR_SESSION_HANDLE_INVALID);
}

TEST_F(ExtensionsBitcoinTest, ImportRefusesASecondKeyWithoutSendingIt)
{
    tokenWithKeys({0x05, 0x00, 0x00, 0x00});
    const Bytes seed(32, 0x5A);
    EXPECT_EQ(ext::importBitcoinKey(*context, session, seed.data(), seed.size()), CKR_VEXA_BITCOIN_KEY_EXISTS);
    EXPECT_EQ(functions(sent()), (std::vector<uint32_t>{kFindInit, kFind, kFindFinal}));
}

TEST_F(ExtensionsBitcoinTest, ImportSendsTheKeyOnTheSessionWhenThereIsNone)
{
    tokenWithKeys({}, CKR_DEVICE_MEMORY);
    const Bytes seed(64, 0x5A);
    EXPECT_EQ(ext::importBitcoinKey(*context, session, seed.data(), seed.size()), CKR_DEVICE_MEMORY);
    const auto requests = sent();
    ASSERT_EQ(functions(requests), (std::vector<uint32_t>{kFindInit, kFind, kFindFinal, kImport}));
    EXPECT_EQ(requests[3].session, 9u);
    EXPECT_EQ(requests[3].data, seed);
    EXPECT_TRUE(logged("u32ImportBitcoinKey"));
}

TEST_F(ExtensionsBitcoinTest, PublicKeyPathTravelsAsBigEndianWords)
{
    Response reply = answer(CKR_OK);
    reply.output = Bytes(33, 0x02);
    this->reply(reply);
    const uint32_t path[] = {1, 2};
    uint8_t key[65] = {};
    CK_ULONG length = sizeof key;

    ASSERT_EQ(ext::getBitcoinPub(*context, session, path, 2, key, &length), CKR_OK);
    EXPECT_EQ(length, 33u);
    EXPECT_EQ(Bytes(key, key + 33), Bytes(33, 0x02));
    ASSERT_EQ(sent().size(), 1u);
    const Request request = sent()[0];
    EXPECT_EQ(request.function, 63u);
    EXPECT_EQ(request.session, 9u);
    EXPECT_EQ(request.data, Bytes({0, 0, 0, 1, 0, 0, 0, 2}));
    EXPECT_EQ(request.outputLength, 65u);
}

TEST_F(ExtensionsBitcoinTest, SignSendsPathHashAndCapacity)
{
    Response reply = answer(CKR_OK);
    reply.output = Bytes(71, 0x30);
    this->reply(reply);
    const uint32_t path[] = {0x8000002C, 0xDEADBEEF};
    const Bytes hash(32, 0xAB);
    uint8_t signature[72] = {};
    CK_ULONG length = sizeof signature;

    ASSERT_EQ(ext::signBitcoinHash(*context, session, hash.data(), hash.size(), path, 2, signature, &length), CKR_OK);
    EXPECT_EQ(length, 71u);
    const Request request = sent().at(0);
    EXPECT_EQ(request.function, 64u);
    EXPECT_EQ(request.data, Bytes({0x80, 0, 0, 0x2C, 0xDE, 0xAD, 0xBE, 0xEF}));
    EXPECT_EQ(request.data2, hash);
    EXPECT_EQ(request.outputLength, 72u);
}

// A refused call keeps the caller's length, also when the token says how
// much it needs; an output larger than the buffer never reaches it.
TEST_F(ExtensionsBitcoinTest, FailedOutputCallsLeaveTheCallersLength)
{
    struct Case {
        std::string name;
        Response reply;
        uint32_t result;
    };
    Response tooSmall = answer(CKR_BUFFER_TOO_SMALL);
    tooSmall.outputLength = 33;
    Response overflowing = answer(CKR_OK);
    overflowing.output = Bytes(9, 0x02);
    const std::vector<Case> cases = {
        {"buffer too small", tooSmall, CKR_BUFFER_TOO_SMALL},
        {"output beyond the buffer", overflowing, CKR_FUNCTION_FAILED},
    };
    const uint32_t path[] = {1};
    const Bytes hash(32, 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reply(c.reply);
        uint8_t buffer[9] = {};
        CK_ULONG length = 8;
        EXPECT_EQ(ext::getBitcoinPub(*context, session, path, 1, buffer, &length), c.result);
        EXPECT_EQ(length, 8u);
        EXPECT_EQ(ext::signBitcoinHash(*context, session, hash.data(), hash.size(), path, 1, buffer, &length),
                  c.result);
        EXPECT_EQ(length, 8u);
        EXPECT_EQ(buffer[8], 0);
    }
}

TEST_F(ExtensionsBitcoinTest, ArgumentsAreCheckedBeforeAnythingIsSent)
{
    const uint32_t path[] = {1};
    const Bytes hash(32, 1);
    uint8_t out[80];
    CK_ULONG length = sizeof out;
    CK_ULONG zero = 0;
    const std::vector<std::pair<std::string, std::function<uint32_t()>>> badArguments = {
        {"import null key", [&] { return ext::importBitcoinKey(*context, session, nullptr, 32); }},
        {"import empty key", [&] { return ext::importBitcoinKey(*context, session, hash.data(), 0); }},
        {"pub null path", [&] { return ext::getBitcoinPub(*context, session, nullptr, 1, out, &length); }},
        {"pub null output", [&] { return ext::getBitcoinPub(*context, session, path, 1, nullptr, &length); }},
        {"pub null length", [&] { return ext::getBitcoinPub(*context, session, path, 1, out, nullptr); }},
        {"pub zero length", [&] { return ext::getBitcoinPub(*context, session, path, 1, out, &zero); }},
        {"sign null path",
         [&] { return ext::signBitcoinHash(*context, session, hash.data(), 32, nullptr, 1, out, &length); }},
        {"sign null hash", [&] { return ext::signBitcoinHash(*context, session, nullptr, 32, path, 1, out, &length); }},
        {"sign empty hash",
         [&] { return ext::signBitcoinHash(*context, session, hash.data(), 0, path, 1, out, &length); }},
        {"sign null signature",
         [&] { return ext::signBitcoinHash(*context, session, hash.data(), 32, path, 1, nullptr, &length); }},
        {"sign null length",
         [&] { return ext::signBitcoinHash(*context, session, hash.data(), 32, path, 1, out, nullptr); }},
        {"sign zero length",
         [&] { return ext::signBitcoinHash(*context, session, hash.data(), 32, path, 1, out, &zero); }},
    };
    for (const auto& [name, call] : badArguments) {
        EXPECT_EQ(call(), CKR_ARGUMENTS_BAD) << name;
    }
    // Lengths no message can carry are refused instead of being cut to 32 bits.
    const CK_ULONG huge = (CK_ULONG(1) << 32) + 1;
    EXPECT_EQ(ext::importBitcoinKey(*context, session, hash.data(), huge), CKR_DATA_LEN_RANGE);
    EXPECT_EQ(ext::getBitcoinPub(*context, session, path, huge, out, &length), CKR_DATA_LEN_RANGE);
    EXPECT_EQ(ext::signBitcoinHash(*context, session, hash.data(), huge, path, 1, out, &length), CKR_DATA_LEN_RANGE);
    EXPECT_EQ(length, sizeof out);
    EXPECT_TRUE(token().requests.empty());
}

TEST_F(ExtensionsBitcoinTest, UnknownSessionsAreRefusedWithoutAnExchange)
{
    const uint32_t path[] = {1};
    const Bytes hash(32, 1);
    uint8_t out[80];
    CK_ULONG length = sizeof out;
    const CK_SESSION_HANDLE unknown = session + 1;
    EXPECT_EQ(ext::getBitcoinPub(*context, unknown, path, 1, out, &length), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(ext::signBitcoinHash(*context, unknown, hash.data(), 32, path, 1, out, &length),
              CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(ext::importBitcoinKey(*context, unknown, hash.data(), 32), CKR_SESSION_HANDLE_INVALID);
    EXPECT_TRUE(token().requests.empty());
}

TEST_F(ExtensionsBitcoinTest, EveryCallNeedsAnInitialisedLibrary)
{
    ASSERT_EQ(context->C_Finalize(nullptr), CKR_OK);
    token().requests.clear();
    EXPECT_EQ(ext::hasBitcoinKey(*context, session, nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(ext::importBitcoinKey(*context, session, nullptr, 0), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(ext::getBitcoinPub(*context, session, nullptr, 0, nullptr, nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(ext::signBitcoinHash(*context, session, nullptr, 0, nullptr, 0, nullptr, nullptr),
              CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_TRUE(token().requests.empty());
}

}  // namespace
