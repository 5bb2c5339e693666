// Several application threads in one process: calls on different tokens run
// side by side, calls on one token one at a time, a call of several requests
// takes its token once for all of them; and nothing the threads share is
// touched unguarded (which the ThreadSanitizer build checks).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "Extensions.h"
#include "ScriptedTokenFixture.h"

using namespace vexa::test;
using namespace std::chrono_literals;

namespace {

// Answers what the threads ask: a new session number for each opening,
// the random bytes asked for, CKR_OK to the rest.
Response workingToken(const Request& request, uint32_t& lastSession)
{
    Response reply;
    if (request.function == vexa::fn::OpenSession) {
        reply.handle = ++lastSession;
    } else if (request.function == vexa::fn::GenerateRandom) {
        reply.output = Bytes(request.outputLength.value_or(0), 0xAB);
    } else if (request.function == vexa::fn::GetSessionInfo) {
        reply.sessionInfo = RpcSessionInfo{};
    }
    return reply;
}

class ConcurrencyTest : public ScriptedTokenFixture {
protected:
    void SetUp() override
    {
        startTokens(2);
        context->log().setLogLevel(corvel::kLogError);
        for (size_t slot = 0; slot < 2; ++slot) {
            script([last = uint32_t{0}](const Request& r) mutable { return workingToken(r, last); }, slot);
        }
    }

    CK_SESSION_HANDLE openSession(CK_SLOT_ID slot)
    {
        CK_SESSION_HANDLE handle = CK_INVALID_HANDLE;
        EXPECT_EQ(context->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &handle), CKR_OK);
        return handle;
    }
};

TEST_F(ConcurrencyTest, ACallOnOneTokenDoesNotWaitForAnotherTokensAnswer)
{
    const CK_SESSION_HANDLE first = openSession(0);
    const CK_SESSION_HANDLE second = openSession(1);
    std::promise<void> answer;
    std::shared_future<void> answered = answer.get_future().share();
    std::promise<void> asked;
    token(0).responder = [&, reply = respondWith([](const Request&) { return Response{}; })](const Bytes& request) {
        asked.set_value();
        answered.wait();
        return reply(request);
    };
    auto slow = std::async(std::launch::async, [&] { return context->C_Logout(first); });
    ASSERT_EQ(asked.get_future().wait_for(60s), std::future_status::ready);
    auto fast = std::async(std::launch::async, [&] { return context->C_Logout(second); });
    const bool fastFinished = fast.wait_for(60s) == std::future_status::ready;
    answer.set_value();
    EXPECT_TRUE(fastFinished) << "the call on token 1 waited for token 0";
    EXPECT_EQ(fast.get(), CKR_OK);
    EXPECT_EQ(slow.get(), CKR_OK);
}

TEST_F(ConcurrencyTest, OneTokenAnswersOneRequestAtATime)
{
    std::atomic<int> inFlight{0};
    std::atomic<int> most{0};
    token(0).responder = [&, reply = respondWith([last = uint32_t{0}](const Request& r) mutable {
                                 return workingToken(r, last);
                             })](const Bytes& request) {
        const int now = ++inFlight;
        most = std::max(most.load(), now);
        std::this_thread::yield();
        Bytes answer = reply(request);
        --inFlight;
        return answer;
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            const CK_SESSION_HANDLE session = openSession(0);
            CK_BYTE random[32];
            for (int i = 0; i < 100; ++i) {
                EXPECT_EQ(context->C_GenerateRandom(session, random, sizeof random), CKR_OK);
            }
            EXPECT_EQ(context->C_CloseSession(session), CKR_OK);
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(most.load(), 1);
}

// The application's mutex callbacks count how often a call takes a token: a
// call that makes several requests takes it once, so no other call to the
// token falls between them.
int g_locks = 0;
int g_unlocks = 0;
int g_mutex;

CK_RV createMutex(CK_VOID_PTR_PTR mutex)
{
    *mutex = &g_mutex;
    return CKR_OK;
}
CK_RV destroyMutex(CK_VOID_PTR) { return CKR_OK; }
CK_RV lockMutex(CK_VOID_PTR)
{
    ++g_locks;
    return CKR_OK;
}
CK_RV unlockMutex(CK_VOID_PTR)
{
    ++g_unlocks;
    return CKR_OK;
}

struct MultiRequestCase {
    const char* name;
    CK_RV (*call)(vexa::pkcs11::CContext& context, CK_SESSION_HANDLE session);
    uint32_t answer;  // the token's rv to every request
    CK_RV result;
    size_t requests;
};

void PrintTo(const MultiRequestCase& c, std::ostream* out) { *out << c.name; }

class MultiRequestTest : public ScriptedTokenFixture, public ::testing::WithParamInterface<MultiRequestCase> {};

TEST_P(MultiRequestTest, TakesTheTokenOnceForAllItsRequests)
{
    tokens = useTokens(1);
    CK_C_INITIALIZE_ARGS args{createMutex, destroyMutex, lockMutex, unlockMutex, 0, nullptr};
    ASSERT_EQ(context->C_Initialize(&args), CKR_OK);
    const CK_SESSION_HANDLE session = knownSession(0, 3);
    token().requests.clear();
    const uint32_t answer = GetParam().answer;
    script([answer](const Request& request) {
        Response reply;
        reply.rv = answer;
        if (request.outputLength) {
            reply.output = Bytes(*request.outputLength, 0x5A);
        }
        if (request.function == vexa::fn::GetTokenInfo) {
            reply.tokenInfo = tokenInfo(TokenTexts{});
        }
        return reply;
    });
    g_locks = g_unlocks = 0;
    EXPECT_EQ(GetParam().call(*context, session), GetParam().result);
    EXPECT_EQ(token().requests.size(), GetParam().requests);
    EXPECT_EQ(g_locks, 1);
    EXPECT_EQ(g_unlocks, 1);
}

CK_BYTE g_data[5000];

INSTANTIATE_TEST_SUITE_P(Calls, MultiRequestTest,
                         ::testing::Values(MultiRequestCase{"SignUpdateInThreeChunks",
                                                            [](vexa::pkcs11::CContext& c, CK_SESSION_HANDLE s) {
                                                                return c.C_SignUpdate(s, g_data, sizeof g_data);
                                                            },
                                                            CKR_OK, CKR_OK, 3},
                                           MultiRequestCase{"RandomInThreeChunks",
                                                            [](vexa::pkcs11::CContext& c, CK_SESSION_HANDLE s) {
                                                                return c.C_GenerateRandom(s, g_data, 2500);
                                                            },
                                                            CKR_OK, CKR_OK, 3},
                                           MultiRequestCase{"DigestWithALengthQueryFirst",
                                                            [](vexa::pkcs11::CContext& c, CK_SESSION_HANDLE s) {
                                                                CK_BYTE digest[32];
                                                                CK_ULONG length = sizeof digest;
                                                                return c.C_Digest(s, g_data, 100, digest, &length);
                                                            },
                                                            CKR_OK, CKR_OK, 3},
                                           MultiRequestCase{"TokenInfoReachesAndAsks",
                                                            [](vexa::pkcs11::CContext& c, CK_SESSION_HANDLE) {
                                                                CK_TOKEN_INFO info;
                                                                return c.C_GetTokenInfo(0, &info);
                                                            },
                                                            CKR_OK, CKR_OK, 1},
                                           MultiRequestCase{"DataWrittenInThreeChunks",
                                                            [](vexa::pkcs11::CContext& c, CK_SESSION_HANDLE) {
                                                                return CK_RV{vexa::pkcs11::extensions::writeTokenData(
                                                                    c, 0, g_data, 4000)};
                                                            },
                                                            CKR_VEXA_MORE_DATA, CKR_VEXA_MORE_DATA, 3},
                                           MultiRequestCase{"BitcoinKeySearch",
                                                            [](vexa::pkcs11::CContext& c, CK_SESSION_HANDLE s) {
                                                                return CK_RV{vexa::pkcs11::extensions::hasBitcoinKey(
                                                                    c, s, nullptr)};
                                                            },
                                                            CKR_OK, CKR_VEXA_NO_BITCOIN_KEY, 3}),
                         [](const auto& info) { return std::string(info.param.name); });

// Threads at work on two tokens while another opens and closes sessions on
// both: every call succeeds, and the session table ends as it began.
TEST_F(ConcurrencyTest, WorkOnTwoTokensWhileSessionsComeAndGo)
{
    std::vector<std::thread> threads;
    for (CK_SLOT_ID slot = 0; slot < 2; ++slot) {
        threads.emplace_back([this, slot] {
            const CK_SESSION_HANDLE session = openSession(slot);
            CK_BYTE random[48];
            for (int i = 0; i < 200; ++i) {
                EXPECT_EQ(context->C_GenerateRandom(session, random, sizeof random), CKR_OK);
            }
            EXPECT_EQ(context->C_CloseSession(session), CKR_OK);
        });
    }
    threads.emplace_back([this] {
        for (int i = 0; i < 100; ++i) {
            const CK_SESSION_HANDLE session = openSession(i % 2);
            CK_SESSION_INFO info{};
            EXPECT_EQ(context->C_GetSessionInfo(session, &info), CKR_OK);
            EXPECT_EQ(info.slotID, CK_SLOT_ID(i % 2));
            EXPECT_EQ(context->C_CloseSession(session), CKR_OK);
        }
    });
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(context->sessions().all().size(), 0u);
}

}  // namespace
