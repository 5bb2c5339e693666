// The engine driven in-process with encoded requests: the behaviour suite,
// plus what only shows from inside one process (several tokens sharing
// SoftHSM2, restarts, arbitrary input).
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "EngineLink.h"
#include "TempDir.h"
#include "Token.h"
#include "TokenBehaviour.h"

namespace vexa::test::engine {
namespace {

using vexa::sim::TokenIdentity;

// A token of its own in a fresh state directory.
class FreshEngineLink : public TokenLink {
public:
    explicit FreshEngineLink(const TokenIdentity& identity) : m_link(m_dir.path(), identity) {}
    Bytes exchange(const Bytes& request) override { return m_link.exchange(request); }

private:
    TempDir m_dir{"vexa-engine"};
    EngineLink m_link;
};

const TokenIdentity kVexa{"0000000000E1", "Vexa"};
const TokenIdentity kVarkon{"0000000000E2", "Varkon"};

INSTANTIATE_TEST_SUITE_P(InProcess, TokenBehaviour,
                         ::testing::Values(LinkKind{"Engine", kVexa.serial, kVexa.product,
                                                    [] { return std::make_unique<FreshEngineLink>(kVexa); }}),
                         linkName);

class EngineTest : public ::testing::Test {
protected:
    TempDir m_state{"vexa-engine"};
};

Response rawCall(TokenLink& link, const Bytes& request)
{
    Response resp;
    Bytes reply = link.exchange(request);
    EXPECT_LE(reply.size(), 2048u);
    EXPECT_TRUE(vexa::wire::decodeResponse(reply, resp));
    return resp;
}

TEST_F(EngineTest, RequestsThatDoNotDecodeAreAnsweredWithFunctionFailed)
{
    EngineLink link(m_state.path(), kVexa);
    struct Case {
        const char* what;
        Bytes bytes;
        CK_RV rv;
    } cases[] = {
        {"empty message (function missing)", {}, CKR_FUNCTION_FAILED},
        {"truncated varint", {0x08, 0xFF}, CKR_FUNCTION_FAILED},
        {"data longer than the message", {0x08, 0x03, 0x22, 0x10, 0x01}, CKR_FUNCTION_FAILED},
        {"mechanism without its type", {0x08, 0x02, 0x1A, 0x02, 0x10, 0x00}, CKR_FUNCTION_FAILED},
        {"wrong wire type", {0x0D, 0x01, 0x02, 0x03, 0x04}, CKR_FUNCTION_FAILED},
        {"oversized request", Bytes(9000, 0), CKR_FUNCTION_FAILED},
        {"unused function id 30", {0x08, 0x1E}, CKR_FUNCTION_NOT_SUPPORTED},
        {"function id beyond 64", {0x08, 0x41}, CKR_FUNCTION_NOT_SUPPORTED},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(rawCall(link, c.bytes).rv, c.rv) << c.what;
    }
}

// Mutations of valid requests: whatever arrives, the engine answers with a
// reply that decodes and fits 2048 bytes.
TEST_F(EngineTest, ArbitraryInputNeverBreaksTheEngine)
{
    EngineLink link(m_state.path(), kVexa);
    TokenClient client(link);
    uint32_t s = client.openSession();
    client.login(s);
    std::vector<Bytes> seeds;
    for (uint32_t function = 1; function <= 64; ++function) {
        Request r;
        r.function = function;
        r.session = s;
        r.handle = 1;
        r.handle2 = 2;
        r.outputLength = 64;
        r.data = bytesOf("0123456789abcdef0123456789abcdef");
        r.data2 = Bytes(32, 0x11);
        r.mechanism = mechanism(CKM_AES_CBC, Bytes(16, 0));
        r.templ = {number(CKA_CLASS, CKO_DATA), flag(CKA_TOKEN, false), bytes(CKA_LABEL, bytesOf("x"))};
        Bytes encoded;
        ASSERT_TRUE(vexa::wire::encodeRequest(r, encoded, 2048));
        seeds.push_back(encoded);
    }
    std::mt19937 rng(20261210);
    for (int round = 0; round < 3000; ++round) {
        Bytes b = seeds[rng() % seeds.size()];
        switch (rng() % 3) {
        case 0:
            b[rng() % b.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
            break;
        case 1:
            b.resize(rng() % b.size());
            break;
        default:
            b.insert(b.begin() + rng() % b.size(), static_cast<uint8_t>(rng()));
            break;
        }
        Bytes reply = link.exchange(b);
        Response resp;
        ASSERT_LE(reply.size(), 2048u);
        ASSERT_TRUE(vexa::wire::decodeResponse(reply, resp)) << "round " << round;
    }
}

// SoftHSM2 numbers sessions and objects across all its tokens; one token
// must not reach into another through those numbers.
TEST_F(EngineTest, TokensSharingSoftHsmStayApart)
{
    EngineLink a(m_state.path(), kVexa), b(m_state.path(), kVarkon);
    TokenClient ta(a), tb(b);
    uint32_t sa = ta.openSession(), sb = tb.openSession();
    tb.login(sb);
    uint32_t secret =
        tb.create(sb, {number(CKA_CLASS, CKO_DATA), flag(CKA_PRIVATE, true), bytes(CKA_VALUE, bytesOf("b's secret"))});
    EXPECT_EQ(ta.call(fn::GetSessionInfo, sb).rv, CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(ta.call(fn::GetAttributeValue, sa,
                      [&](Request& r) {
                          r.handle = secret;
                          r.templ = {typeOnly(CKA_VALUE)};
                      })
                  .rv,
              CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(ta.call(fn::DestroyObject, sa, [&](Request& r) { r.handle = secret; }).rv, CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(tb.attribute(sb, secret, CKA_VALUE), bytesOf("b's secret"));
}

// A session's objects end with it; the token's list of the handles it gave
// out must not keep theirs, or it grows with every object ever made.
TEST_F(EngineTest, HandlesOfSessionObjectsGoWithTheirSession)
{
    vexa::sim::engine::EngineOptions options;
    options.stateDir = m_state.path();
    vexa::sim::engine::CToken token(kVexa, options);
    CK_FUNCTION_LIST& p11 = token.p11();
    CK_SESSION_HANDLE s = 0;
    ASSERT_EQ(p11.C_OpenSession(token.slot(), CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s), CKR_OK);
    ASSERT_EQ(token.addSession(s), CKR_OK);
    auto make = [&](CK_BBOOL onToken) {
        CK_OBJECT_CLASS cls = CKO_DATA;
        CK_BBOOL isPrivate = CK_FALSE;
        CK_ATTRIBUTE templ[] = {{CKA_CLASS, &cls, sizeof cls},
                                {CKA_TOKEN, &onToken, sizeof onToken},
                                {CKA_PRIVATE, &isPrivate, sizeof isPrivate}};
        CK_OBJECT_HANDLE object = 0;
        EXPECT_EQ(p11.C_CreateObject(s, templ, 3, &object), CKR_OK);
        token.adopt(object, s);
        return static_cast<uint32_t>(object);
    };
    const uint32_t sessionObject = make(CK_FALSE);
    const uint32_t tokenObject = make(CK_TRUE);
    token.dropSession(s);
    p11.C_CloseSession(s);
    CK_OBJECT_HANDLE out = 0;
    EXPECT_EQ(token.object(sessionObject, CKR_OBJECT_HANDLE_INVALID, out), CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(token.object(tokenObject, CKR_OBJECT_HANDLE_INVALID, out), CKR_OK);
}

// Device threads call the firmware concurrently: several on one token, and
// tokens of one process share SoftHSM2.
TEST_F(EngineTest, ConcurrentCallersOnOneAndOnSeveralTokens)
{
    EngineLink a(m_state.path(), kVexa), b(m_state.path(), kVarkon);
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (EngineLink* link : {&a, &a, &b, &b}) {
        threads.emplace_back([link, &failures] {
            TokenClient t(*link);
            try {
                for (int i = 0; i < 25; ++i) {
                    uint32_t s = t.openSession();
                    require(t.call(fn::DigestInit, s, [](Request& r) { r.mechanism = mechanism(CKM_SHA256); }),
                            "digest init");
                    Response d = t.call(fn::DigestFinal, s, [](Request& r) { r.outputLength = 32; });
                    require(d, "digest");
                    require(t.call(fn::CloseSession, s), "close");
                    if (d.output->size() != 32) {
                        ++failures;
                    }
                }
            } catch (const std::exception& e) {
                ADD_FAILURE() << e.what();
                ++failures;
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(failures, 0);
}

TEST_F(EngineTest, EverythingSurvivesARestart)
{
    const Bytes seed = fromHex("000102030405060708090a0b0c0d0e0f");
    Bytes pub;
    {
        EngineLink link(m_state.path(), kVexa);
        TokenClient t(link);
        uint32_t s = t.openSession();
        t.login(s);
        t.create(s, {number(CKA_CLASS, CKO_DATA), flag(CKA_TOKEN, true), bytes(CKA_LABEL, bytesOf("kept"))});
        require(t.call(fn::ImportBitcoinKey, s, [&](Request& r) { r.data = seed; }), "import");
        Response p = t.call(fn::GetBitcoinPub, s, [](Request& r) {
            r.data = Bytes{0x80, 0, 0, 0};
            r.outputLength = 33;
        });
        require(p, "public key");
        pub = *p.output;
        Request cfg;
        cfg.function = fn::SetTokenByte;
        cfg.handle = 42;
        require(t.call(cfg), "set byte");
        Request clock;
        clock.function = fn::SetDateTime;
        clock.handle = 1700000000;
        require(t.call(clock), "set clock");
        Request write;
        write.function = fn::WriteTokenData;
        write.handle = 5;
        write.handle2 = 5;
        write.data = bytesOf("hello");
        require(t.call(write), "write data");
    }
    EngineLink link(m_state.path(), kVexa);
    TokenClient t(link);
    uint32_t s = t.openSession();
    t.login(s);
    EXPECT_EQ(t.find(s, {bytes(CKA_LABEL, bytesOf("kept"))}).size(), 1u);
    Response p = t.call(fn::GetBitcoinPub, s, [](Request& r) {
        r.data = Bytes{0x80, 0, 0, 0};
        r.outputLength = 33;
    });
    EXPECT_EQ(p.output, pub);

    Request cfg;
    cfg.function = fn::GetTokenConfig;
    EXPECT_EQ(t.call(cfg).tokenConfig->config1, 42u);
    Request info;
    info.function = fn::GetTokenInfo;
    const RpcTokenInfo ti = *t.call(info).tokenInfo;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(ti.utcTime.bytes), 8), "20231114");
    Request read;
    read.function = fn::ReadTokenData;
    read.outputLength = 100;
    EXPECT_EQ(t.call(read).output, bytesOf("hello"));
    Request log;
    log.function = fn::ReadLogEntries;
    log.outputLength = 2048;
    const Bytes events = t.call(log).output.value();
    const std::string text(events.begin(), events.end());
    EXPECT_NE(text.find("bitcoin key imported"), std::string::npos);
}

TEST_F(EngineTest, StartsFailForUnusableSerials)
{
    for (const char* serial : {"", "..", "a/b", "x y"}) {
        EXPECT_THROW(EngineLink(m_state.path(), TokenIdentity{serial, "Vexa"}), std::runtime_error) << serial;
    }
}

}  // namespace
}  // namespace vexa::test::engine
