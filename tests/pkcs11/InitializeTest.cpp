#include <gtest/gtest.h>
#include <pb_decode.h>

#include <algorithm>
#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

#include "CallShapes.h"
#include "ContextFixture.h"

using namespace vexa::pkcs11;
using vexa::test::ContextFixture;
using vexa::test::FakeToken;

namespace {

// Application mutex callbacks that count their calls; LockMutex refuses once
// the allowed number of locks is used up.
struct AppMutexLog {
    int created = 0;
    int destroyed = 0;
    int locked = 0;
    int unlocked = 0;
    int locksAllowed = 1000;
    bool createFails = false;
};
AppMutexLog g_mutexes;
int g_mutexObject;

CK_RV createMutex(CK_VOID_PTR_PTR mutex)
{
    if (g_mutexes.createFails) {
        return CKR_HOST_MEMORY;
    }
    ++g_mutexes.created;
    *mutex = &g_mutexObject;
    return CKR_OK;
}
CK_RV destroyMutex(CK_VOID_PTR mutex)
{
    EXPECT_EQ(mutex, &g_mutexObject);
    ++g_mutexes.destroyed;
    return CKR_OK;
}
CK_RV lockMutex(CK_VOID_PTR mutex)
{
    EXPECT_EQ(mutex, &g_mutexObject);
    if (g_mutexes.locked >= g_mutexes.locksAllowed) {
        return CKR_CANT_LOCK;
    }
    ++g_mutexes.locked;
    return CKR_OK;
}
CK_RV unlockMutex(CK_VOID_PTR mutex)
{
    EXPECT_EQ(mutex, &g_mutexObject);
    ++g_mutexes.unlocked;
    return CKR_OK;
}

CK_C_INITIALIZE_ARGS appLocking() { return {createMutex, destroyMutex, lockMutex, unlockMutex, 0, nullptr}; }

RpcRequest decodeRequest(const std::vector<uint8_t>& bytes)
{
    RpcRequest request = RpcRequest_init_zero;
    pb_istream_t stream = pb_istream_from_buffer(bytes.data(), bytes.size());
    EXPECT_TRUE(pb_decode(&stream, RpcRequest_fields, &request));
    return request;
}

class InitializeTest : public ContextFixture {
protected:
    void SetUp() override { g_mutexes = AppMutexLog{}; }
};

TEST_F(InitializeTest, EveryTokenBecomesASlotWithTheTimeoutAndGetsTheClock)
{
    const auto tokens = useTokens(2);
    const auto before = static_cast<uint32_t>(std::time(nullptr));
    ASSERT_EQ(context->C_Initialize(nullptr), CKR_OK);
    const auto after = static_cast<uint32_t>(std::time(nullptr));

    EXPECT_TRUE(context->isInitialized());
    EXPECT_EQ(context->slots().ids(), (std::vector<SlotId>{0, 1}));
    for (size_t i = 0; i < tokens.size(); ++i) {
        ASSERT_NE(context->slots().find(i), nullptr);
        EXPECT_EQ(tokens[i]->timeout, 12000u);
        ASSERT_EQ(tokens[i]->requests.size(), 1u) << "token " << i;
        const RpcRequest request = decodeRequest(tokens[i]->requests[0]);
        EXPECT_EQ(request.function, 46u);
        ASSERT_TRUE(request.has_handle);
        EXPECT_GE(request.handle, before);
        EXPECT_LE(request.handle, after);
    }
    EXPECT_TRUE(logged("C_Initialize"));
}

TEST_F(InitializeTest, ConfiguredTimeoutIsSetOnEveryTransport)
{
    const auto tokens = useTokens(1);
    context->settings().timeout = 3000;
    ASSERT_EQ(context->C_Initialize(nullptr), CKR_OK);
    EXPECT_EQ(tokens[0]->timeout, 3000u);
}

TEST_F(InitializeTest, NoTokensGiveNoSlots)
{
    useTokens(0);
    EXPECT_EQ(context->C_Initialize(nullptr), CKR_OK);
    EXPECT_TRUE(context->slots().ids().empty());
}

TEST_F(InitializeTest, SecondCallIsRefused)
{
    useTokens(1);
    ASSERT_EQ(context->C_Initialize(nullptr), CKR_OK);
    EXPECT_EQ(context->C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);
}

TEST_F(InitializeTest, ReservedArgumentIsRefused)
{
    useTokens(1);
    int reserved = 0;
    CK_C_INITIALIZE_ARGS args{nullptr, nullptr, nullptr, nullptr, 0, &reserved};
    EXPECT_EQ(context->C_Initialize(&args), CKR_ARGUMENTS_BAD);
    EXPECT_FALSE(context->isInitialized());
    EXPECT_EQ(context->C_Finalize(&reserved), CKR_ARGUMENTS_BAD);
}

TEST_F(InitializeTest, OsLockingIgnoresCallbacksGivenWithIt)
{
    const auto tokens = useTokens(1);
    CK_C_INITIALIZE_ARGS args = appLocking();
    args.flags = CKF_OS_LOCKING_OK;
    ASSERT_EQ(context->C_Initialize(&args), CKR_OK);
    EXPECT_EQ(context->C_CloseAllSessions(0), CKR_OK);
    ASSERT_EQ(context->C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(g_mutexes.created + g_mutexes.locked + g_mutexes.unlocked + g_mutexes.destroyed, 0);
    EXPECT_TRUE(logged("C_Initialize with locking requested"));
}

// One application mutex per token, so that exchanges with different tokens
// never wait for each other.
TEST_F(InitializeTest, ApplicationMutexOfEachTokenSurroundsItsExchanges)
{
    const auto tokens = useTokens(2);
    CK_C_INITIALIZE_ARGS args = appLocking();
    ASSERT_EQ(context->C_Initialize(&args), CKR_OK);
    EXPECT_EQ(g_mutexes.created, 2);
    // The two clock settings.
    EXPECT_EQ(g_mutexes.locked, 2);
    EXPECT_EQ(g_mutexes.unlocked, 2);
    context->sessions().add(CK_SESSION_HANDLE{5}, SessionEntry{0, 0});
    context->sessions().add((CK_SESSION_HANDLE{1} << 56) | 6, SessionEntry{1, 0});
    ASSERT_EQ(context->C_Finalize(nullptr), CKR_OK);
    // One close for each session, then each transport closed under its lock.
    EXPECT_EQ(g_mutexes.locked, 6);
    EXPECT_EQ(g_mutexes.unlocked, 6);
    EXPECT_EQ(g_mutexes.destroyed, 2);
}

TEST_F(InitializeTest, IncompleteCallbacksAreRefusedBeforeAnyMutexIsMade)
{
    struct Case {
        const char* name;
        CK_C_INITIALIZE_ARGS args;
    };
    const Case cases[] = {
        {"no LockMutex", {createMutex, destroyMutex, nullptr, unlockMutex, 0, nullptr}},
        {"no UnlockMutex", {createMutex, destroyMutex, lockMutex, nullptr, 0, nullptr}},
        {"no DestroyMutex", {createMutex, nullptr, lockMutex, unlockMutex, 0, nullptr}},
        {"no CreateMutex", {nullptr, destroyMutex, lockMutex, unlockMutex, 0, nullptr}},
    };
    useTokens(1);
    for (const Case& c : cases) {
        CK_C_INITIALIZE_ARGS args = c.args;
        EXPECT_EQ(context->C_Initialize(&args), CKR_ARGUMENTS_BAD) << c.name;
        EXPECT_FALSE(context->isInitialized()) << c.name;
    }
    EXPECT_EQ(g_mutexes.created, 0);
}

TEST_F(InitializeTest, FailingCreateMutexCannotLock)
{
    useTokens(1);
    g_mutexes.createFails = true;
    CK_C_INITIALIZE_ARGS args = appLocking();
    EXPECT_EQ(context->C_Initialize(&args), CKR_CANT_LOCK);
    EXPECT_FALSE(context->isInitialized());
}

// Listing the tokens talks to none of them and takes no lock; a refused lock
// fails the clock setting only, which is no failure of C_Initialize.
TEST_F(InitializeTest, RefusedLockFailsOnlyTheClockSetting)
{
    const auto tokens = useTokens(1);
    g_mutexes.locksAllowed = 0;
    CK_C_INITIALIZE_ARGS args = appLocking();
    EXPECT_EQ(context->C_Initialize(&args), CKR_OK);
    EXPECT_TRUE(context->isInitialized());
    EXPECT_TRUE(tokens[0]->requests.empty());
    EXPECT_TRUE(logged("Failed to obtain mutex lock."));
    EXPECT_EQ(context->C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(g_mutexes.destroyed, 1) << "the mutex made for the token is not leaked";
}

TEST_F(InitializeTest, FailingCreateMutexOfALaterTokenLeavesNothingBehind)
{
    useTokens(2);
    CK_C_INITIALIZE_ARGS args = appLocking();
    args.CreateMutex = [](CK_VOID_PTR_PTR mutex) {
        if (g_mutexes.created == 1) {
            return CK_RV{CKR_HOST_MEMORY};
        }
        return createMutex(mutex);
    };
    EXPECT_EQ(context->C_Initialize(&args), CKR_CANT_LOCK);
    EXPECT_FALSE(context->isInitialized());
    EXPECT_TRUE(context->slots().ids().empty());
    EXPECT_EQ(g_mutexes.destroyed, 1) << "the first token's mutex is destroyed again";
}

TEST_F(InitializeTest, LockRefusedDuringAnExchangeFailsTheCall)
{
    const auto tokens = useTokens(1);
    CK_C_INITIALIZE_ARGS args = appLocking();
    ASSERT_EQ(context->C_Initialize(&args), CKR_OK);
    g_mutexes.locksAllowed = g_mutexes.locked;
    EXPECT_EQ(context->C_CloseAllSessions(0), CKR_FUNCTION_FAILED);
    EXPECT_TRUE(logged("Failed to obtain mutex lock."));
    EXPECT_EQ(tokens[0]->requests.size(), 1u) << "only the clock setting reached the token";
    EXPECT_EQ(g_mutexes.locked, g_mutexes.unlocked);
}

TEST_F(InitializeTest, ListingFailureLeavesNothingBehind)
{
    const auto tokens = useTokens(1);
    TransportKind failing = context->transportKind();
    failing.lister = [](const LibrarySettings&, corvel::ILogTarget&) -> std::vector<SerialId> {
        throw std::runtime_error("listing broke");
    };
    context->setTransportKind(failing);
    CK_C_INITIALIZE_ARGS args = appLocking();
    EXPECT_EQ(context->C_Initialize(&args), CKR_FUNCTION_FAILED);
    EXPECT_FALSE(context->isInitialized());
    EXPECT_TRUE(context->slots().ids().empty());
    EXPECT_TRUE(logged("listing broke"));
    EXPECT_EQ(g_mutexes.locked, g_mutexes.unlocked);
    EXPECT_EQ(g_mutexes.created, g_mutexes.destroyed);

    useTokens(1);
    EXPECT_EQ(context->C_Initialize(nullptr), CKR_OK);
    EXPECT_EQ(context->slots().ids().size(), 1u);
}

TEST_F(InitializeTest, TokenWithoutTransportLeavesAGapInTheSlotIds)
{
    auto second = std::make_shared<FakeToken>();
    context->setTransportKind(vexa::test::fakeTransportKind({nullptr, second}));
    ASSERT_EQ(context->C_Initialize(nullptr), CKR_OK);
    EXPECT_EQ(context->slots().find(0), nullptr);
    EXPECT_NE(context->slots().find(1), nullptr);
    EXPECT_TRUE(logged("Port not found"));
    EXPECT_EQ(second->requests.size(), 1u);
}

TEST_F(InitializeTest, ClockNotSetIsNotAFailure)
{
    const auto tokens = useTokens(1);
    tokens[0]->throwOnOpen = "Device not detected";
    EXPECT_EQ(context->C_Initialize(nullptr), CKR_OK);
    EXPECT_TRUE(logged("Device not detected"));
    EXPECT_FALSE(context->bSetDateTime(0));
    tokens[0]->throwOnOpen.clear();
    EXPECT_TRUE(context->bSetDateTime(0));
    tokens[0]->responder = [](const std::vector<uint8_t>&) { return std::vector<uint8_t>{0x08, 0x05}; };
    EXPECT_FALSE(context->bSetDateTime(0)) << "a token error is false";
}

// The tokens' other sessions belong to other applications: only the
// sessions this context opened are closed, one C_CloseSession (12) each.
TEST_F(InitializeTest, FinalizeClosesItsOwnSessionsThenEveryTransport)
{
    const auto tokens = useTokens(3);
    ASSERT_EQ(context->C_Initialize(nullptr), CKR_OK);
    for (const auto& token : tokens) {
        token->calls.clear();
        token->requests.clear();
    }
    context->sessions().add(CK_SESSION_HANDLE{5}, SessionEntry{0, 0});
    context->sessions().add((CK_SESSION_HANDLE{1} << 56) | (CK_SESSION_HANDLE{0xBEEF} << 40) | 6, SessionEntry{1, 0});
    context->sessions().add((CK_SESSION_HANDLE{1} << 56) | 7, SessionEntry{1, 0});
    ASSERT_EQ(context->C_Finalize(nullptr), CKR_OK);
    const std::vector<std::vector<uint32_t>> closed{{5}, {6, 7}, {}};
    for (size_t slot = 0; slot < tokens.size(); ++slot) {
        SCOPED_TRACE(slot);
        const FakeToken& token = *tokens[slot];
        std::vector<uint32_t> sessions;
        for (const auto& bytes : token.requests) {
            const RpcRequest request = decodeRequest(bytes);
            EXPECT_EQ(request.function, 12u);
            sessions.push_back(request.session);
        }
        std::sort(sessions.begin(), sessions.end());
        EXPECT_EQ(sessions, closed[slot]);
        EXPECT_EQ(token.calls.back(), "close");
        EXPECT_TRUE(token.destroyed);
    }
    EXPECT_FALSE(context->isInitialized());
    EXPECT_TRUE(context->slots().ids().empty());
    EXPECT_EQ(context->C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(context->C_CloseAllSessions(0), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_FALSE(context->bSetDateTime(0));
}

// A call that found its slot keeps the slot's transport while it works on
// it, even when another thread's C_Finalize empties the table meanwhile.
TEST_F(InitializeTest, AFoundSlotOutlivesFinalize)
{
    const auto tokens = useTokens(1);
    ASSERT_EQ(context->C_Initialize(nullptr), CKR_OK);
    SlotPtr held = context->slots().find(0);
    ASSERT_NE(held, nullptr);
    ASSERT_EQ(context->C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(context->slots().find(0), nullptr);
    EXPECT_FALSE(tokens[0]->destroyed);
    EXPECT_FALSE(held->transport_inlock().isOpen()) << "finalising closed it all the same";
    held.reset();
    EXPECT_TRUE(tokens[0]->destroyed);
}

// A token that cannot be reached is asked once, not once per session; the
// other tokens' sessions are closed all the same.
TEST_F(InitializeTest, FinalizeGoesOnWhenATokenFails)
{
    const auto tokens = useTokens(2);
    ASSERT_EQ(context->C_Initialize(nullptr), CKR_OK);
    tokens[0]->open = false;
    tokens[0]->throwOnOpen = "Device not detected";
    tokens[0]->calls.clear();
    tokens[1]->requests.clear();
    context->sessions().add(CK_SESSION_HANDLE{3}, SessionEntry{0, 0});
    context->sessions().add(CK_SESSION_HANDLE{4}, SessionEntry{0, 0});
    context->sessions().add((CK_SESSION_HANDLE{1} << 56) | 5, SessionEntry{1, 0});
    EXPECT_EQ(context->C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(std::count(tokens[0]->calls.begin(), tokens[0]->calls.end(), "open"), 1);
    ASSERT_EQ(tokens[1]->requests.size(), 1u);
    EXPECT_EQ(decodeRequest(tokens[1]->requests[0]).session, 5u);
    EXPECT_FALSE(context->isInitialized());
    EXPECT_EQ(context->sessions().all().size(), 0u);
}

TEST_F(InitializeTest, InitializeAgainAfterFinalizeListsTokensAfresh)
{
    useTokens(2);
    ASSERT_EQ(context->C_Initialize(nullptr), CKR_OK);
    ASSERT_EQ(context->C_Finalize(nullptr), CKR_OK);
    const auto tokens = useTokens(3);
    ASSERT_EQ(context->C_Initialize(nullptr), CKR_OK);
    EXPECT_EQ(context->slots().ids().size(), 3u);
    EXPECT_EQ(tokens[2]->requests.size(), 1u);
}

TEST_F(InitializeTest, SessionsArePerContextAndEmptiedByFinalize)
{
    useTokens(1);
    ASSERT_EQ(context->C_Initialize(nullptr), CKR_OK);
    const CK_SESSION_HANDLE handle = (CK_SESSION_HANDLE{0} << 56) | (CK_SESSION_HANDLE{0xBEEF} << 40) | 5;
    context->sessions().add(handle, SessionEntry{0, 3});
    TokenCall call;
    call.slot = -1;
    EXPECT_EQ(bindSession(*context, handle, call), CKR_OK);
    EXPECT_TRUE(call.request.has_session);
    EXPECT_EQ(call.request.session, 5u);
    EXPECT_EQ(call.slot, 0);
    ASSERT_TRUE(call.session);
    EXPECT_EQ(call.session->handle, handle);
    EXPECT_EQ(call.session->generation, 3u);
    EXPECT_EQ(bindSession(*context, handle + 1, call), CKR_SESSION_HANDLE_INVALID);
    ASSERT_EQ(context->C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(context->sessions().all().size(), 0u);
}

}  // namespace
