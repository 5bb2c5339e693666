#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <set>

#include "ScriptedTokenFixture.h"

using namespace vexa::test;

namespace {

class SessionsTest : public ScriptedTokenFixture {
protected:
    CK_SESSION_HANDLE open(CK_SLOT_ID slot, uint32_t tokenSession)
    {
        Response opened;
        opened.handle = tokenSession;
        reply(opened, slot);
        CK_SESSION_HANDLE handle = 0;
        EXPECT_EQ(context->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &handle), CKR_OK);
        return handle;
    }
};

}  // namespace

TEST_F(SessionsTest, HandleCarriesSlotRandomBitsAndTokenSession)
{
    startTokens(2);
    const CK_SESSION_HANDLE handle = open(1, 5);
    EXPECT_EQ(handle >> 56, 1u);
    EXPECT_EQ((handle >> 32) & 0xFF, 0u);
    EXPECT_EQ(handle & 0xFFFFFFFF, 5u);

    const auto requests = sent(1);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].function, 11u);
    EXPECT_EQ(requests[0].value, CKF_SERIAL_SESSION | CKF_RW_SESSION);
    EXPECT_FALSE(requests[0].session);
    EXPECT_TRUE(token(0).requests.empty());

    // The same token session number opened again gets a different handle.
    std::set<CK_SESSION_HANDLE> handles{handle};
    for (int i = 0; i < 4; ++i) {
        handles.insert(open(1, 5));
    }
    EXPECT_GT(handles.size(), 1u);
    EXPECT_EQ(context->sessions().all().size(), handles.size());
}

TEST_F(SessionsTest, SessionCallsGoToTheSlotOfTheirHandle)
{
    startTokens(2);
    const CK_SESSION_HANDLE onSlot1 = open(1, 7);
    const CK_SESSION_HANDLE onSlot0 = open(0, 7);
    token(0).requests.clear();
    token(1).requests.clear();
    reply({CKR_OK}, 0);
    reply({CKR_USER_NOT_LOGGED_IN}, 1);
    EXPECT_EQ(context->C_Logout(onSlot1), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(context->C_Logout(onSlot0), CKR_OK);
    ASSERT_EQ(sent(0).size(), 1u);
    ASSERT_EQ(sent(1).size(), 1u);
    EXPECT_EQ(sent(1)[0].session, 7u);
    EXPECT_EQ(sent(1)[0].function, 19u);
}

TEST_F(SessionsTest, OpenSessionRefusals)
{
    startTokens(1);
    CK_SESSION_HANDLE handle = 42;
    // The parallel flag is looked at before anything else.
    EXPECT_EQ(context->C_OpenSession(9, CKF_RW_SESSION, nullptr, nullptr, nullptr), CKR_SESSION_PARALLEL_NOT_SUPPORTED);
    EXPECT_EQ(context->C_OpenSession(9, CKF_SERIAL_SESSION, nullptr, nullptr, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(context->C_OpenSession(9, CKF_SERIAL_SESSION, nullptr, nullptr, &handle), CKR_SLOT_ID_INVALID);
    reply({CKR_TOKEN_WRITE_PROTECTED});
    EXPECT_EQ(context->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &handle),
              CKR_TOKEN_WRITE_PROTECTED);
    EXPECT_EQ(handle, 42u);
    EXPECT_EQ(context->sessions().all().size(), 0u);
}

TEST_F(SessionsTest, CloseSessionForgetsTheHandleEvenWhenTheTokenFails)
{
    startTokens(1);
    const CK_SESSION_HANDLE handle = open(0, 3);
    token().requests.clear();
    reply({CKR_DEVICE_ERROR});
    EXPECT_EQ(context->C_CloseSession(handle), CKR_DEVICE_ERROR);
    EXPECT_EQ(context->C_CloseSession(handle), CKR_SESSION_HANDLE_INVALID);
    const auto requests = sent();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].function, 12u);
    EXPECT_EQ(requests[0].session, 3u);
}

// Once the token has closed them, the slot's handles are gone: the token may
// give their numbers to other applications' new sessions, which an old handle
// (or C_Finalize) must never reach. Until then they stay.
TEST_F(SessionsTest, CloseAllSessionsForgetsTheSlotsHandlesOnceTheTokenClosedThem)
{
    startTokens(2);
    const CK_SESSION_HANDLE onSlot0 = open(0, 3);
    const CK_SESSION_HANDLE onSlot1 = open(1, 3);
    reply({CKR_DEVICE_ERROR});
    EXPECT_EQ(context->C_CloseAllSessions(0), CKR_DEVICE_ERROR);
    reply({CKR_OK});
    EXPECT_EQ(context->C_Logout(onSlot0), CKR_OK) << "not closed: still bound";
    EXPECT_EQ(context->C_CloseAllSessions(0), CKR_OK);
    EXPECT_EQ(sent().back().function, 14u);
    EXPECT_FALSE(sent().back().session);
    token(0).requests.clear();
    EXPECT_EQ(context->C_Logout(onSlot0), CKR_SESSION_HANDLE_INVALID);
    EXPECT_TRUE(token(0).requests.empty());
    reply({CKR_OK}, 1);
    EXPECT_EQ(context->C_Logout(onSlot1), CKR_OK);
    EXPECT_EQ(context->sessions().all().size(), 1u);
}

// A token that went away and came back holds none of the sessions opened on
// it before, and may give their numbers to other applications: once the
// slot's transport reaches a device afresh, the slot's old handles are
// refused with nothing sent, and forgotten. A transport to the daemon, which
// keeps its token, reconnects without that.
struct ReplacementCase {
    const char* name;
    void (*happen)(FakeToken& token);
    CK_RV rv;          // of the old handle's next call
    size_t delivered;  // requests that reached the token
};

void PrintTo(const ReplacementCase& c, std::ostream* out) { *out << c.name; }

class TokenReplacementTest : public SessionsTest, public ::testing::WithParamInterface<ReplacementCase> {};

TEST_P(TokenReplacementTest, OldHandlesOfTheSlotReachNothing)
{
    startTokens(2);
    token(0).newDeviceOnOpen = true;
    const CK_SESSION_HANDLE old = open(0, 3);
    const CK_SESSION_HANDLE other = open(1, 3);
    token(0).requests.clear();
    GetParam().happen(token(0));
    reply({CKR_OK}, 0);
    EXPECT_EQ(context->C_Logout(old), GetParam().rv);
    EXPECT_EQ(token(0).requests.size(), GetParam().delivered);
    reply({CKR_OK}, 1);
    EXPECT_EQ(context->C_Logout(other), CKR_OK) << "the other slot's session stays";
    if (GetParam().rv == CKR_SESSION_HANDLE_INVALID) {
        EXPECT_EQ(context->C_CloseSession(old), CKR_SESSION_HANDLE_INVALID) << "forgotten";
        EXPECT_EQ(token(0).requests.size(), 0u);
        EXPECT_NE(open(0, 3), old) << "a new session on the new device works";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TokenReplacementTest,
    ::testing::Values(
        ReplacementCase{"ClosedWhileAway", [](FakeToken& t) { t.open = false; }, CKR_SESSION_HANDLE_INVALID, 0},
        ReplacementCase{"WriteFindsTheDeviceGone",
                        [](FakeToken& t) {
                            t.failWrite = InjectedFailure{corvel::TransportFailure::Closed, "Device gone", true};
                        },
                        CKR_SESSION_HANDLE_INVALID, 0},
        ReplacementCase{
            "DaemonReconnected",
            [](FakeToken& t) {
                t.newDeviceOnOpen = false;
                t.failWrite = InjectedFailure{corvel::TransportFailure::Closed, "Socket write error 32", true};
            },
            CKR_OK, 1}),
    [](const auto& info) { return std::string(info.param.name); });

// A session the token calls invalid or closed is one whose number the token
// may give to another application: the handle is forgotten.
TEST_F(SessionsTest, HandleTheTokenNoLongerKnowsIsForgotten)
{
    startTokens(1);
    for (const CK_RV answer : {CKR_SESSION_HANDLE_INVALID, CKR_SESSION_CLOSED, CKR_USER_NOT_LOGGED_IN}) {
        SCOPED_TRACE(answer);
        const CK_SESSION_HANDLE handle = open(0, 4);
        reply({static_cast<uint32_t>(answer)});
        EXPECT_EQ(context->C_Logout(handle), answer);
        token().requests.clear();
        reply({CKR_OK});
        const bool kept = answer == CKR_USER_NOT_LOGGED_IN;
        EXPECT_EQ(context->C_Logout(handle), kept ? CKR_OK : CKR_SESSION_HANDLE_INVALID);
        EXPECT_EQ(token().requests.size(), kept ? 1u : 0u);
    }
}

TEST_F(SessionsTest, SessionInfoFromTheToken)
{
    startTokens(2);
    const CK_SESSION_HANDLE handle = open(1, 9);
    Response info;
    info.sessionInfo = RpcSessionInfo{CKS_RW_USER_FUNCTIONS, CKF_SERIAL_SESSION | CKF_RW_SESSION, 17};
    reply(info, 1);
    CK_SESSION_INFO out{};
    ASSERT_EQ(context->C_GetSessionInfo(handle, &out), CKR_OK);
    EXPECT_EQ(out.slotID, 1u);
    EXPECT_EQ(out.state, CKS_RW_USER_FUNCTIONS);
    EXPECT_EQ(out.flags, CKF_SERIAL_SESSION | CKF_RW_SESSION);
    EXPECT_EQ(out.ulDeviceError, 17u);
    EXPECT_EQ(sent(1).back().function, 17u);
}

// CKR_OK without the record from the token: the defaults, and no member is
// left as the caller's memory held it.
// A success without the record is no success: an application must not
// take a made-up state for the token's.
TEST_F(SessionsTest, SessionInfoWithoutTheRecordIsADeviceError)
{
    startTokens(1);
    const CK_SESSION_HANDLE handle = open(0, 3);
    reply({CKR_OK});
    CK_SESSION_INFO out;
    std::memset(&out, 0x5A, sizeof out);
    EXPECT_EQ(context->C_GetSessionInfo(handle, &out), CKR_DEVICE_ERROR);
}

TEST_F(SessionsTest, SessionInfoOfUnknownHandleKeepsTheDefaults)
{
    startTokens(1);
    CK_SESSION_INFO out;
    out.slotID = 55;
    out.state = 99;
    out.flags = 99;
    EXPECT_EQ(context->C_GetSessionInfo(0x0100000000000005, &out), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(out.flags, CKF_SERIAL_SESSION);
    EXPECT_EQ(out.state, CKS_RO_PUBLIC_SESSION);
    EXPECT_EQ(out.slotID, 55u);
    // Handle 0 is refused before the pointer is looked at.
    EXPECT_EQ(context->C_GetSessionInfo(0, nullptr), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(context->C_GetSessionInfo(1, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_TRUE(token().requests.empty());
}

TEST_F(SessionsTest, LoginPinAndSeedFields)
{
    startTokens(1);
    const CK_SESSION_HANDLE handle = knownSession(0, 0x11);
    CK_UTF8CHAR pin[] = "123456";
    CK_UTF8CHAR newPin[] = "654321";
    CK_BYTE seed[] = {1, 2, 3};
    const struct {
        const char* name;
        std::function<CK_RV()> call;
        uint32_t function;
        std::function<void(const Request&)> check;
    } cases[] = {
        {"Login", [&] { return context->C_Login(handle, CKU_SO, pin, 6); }, 13,
         [&](const Request& r) {
             EXPECT_EQ(r.value, CKU_SO);
             EXPECT_EQ(r.data, Bytes(pin, pin + 6));
         }},
        {"LoginEmptyPin", [&] { return context->C_Login(handle, CKU_USER, pin, 0); }, 13,
         [&](const Request& r) { EXPECT_EQ(r.data, Bytes()); }},
        {"LoginUserTypeCut", [&] { return context->C_Login(handle, 0x100000001, pin, 6); }, 13,
         [&](const Request& r) { EXPECT_EQ(r.value, 1u); }},
        {"Logout", [&] { return context->C_Logout(handle); }, 19,
         [&](const Request& r) { EXPECT_FALSE(r.data || r.value); }},
        {"InitPIN", [&] { return context->C_InitPIN(handle, pin, 6); }, 18,
         [&](const Request& r) { EXPECT_EQ(r.data, Bytes(pin, pin + 6)); }},
        {"InitPINWithoutPin", [&] { return context->C_InitPIN(handle, nullptr, 0); }, 18,
         [&](const Request& r) { EXPECT_EQ(r.data, Bytes()); }},
        {"SetPIN", [&] { return context->C_SetPIN(handle, pin, 6, newPin, 6); }, 20,
         [&](const Request& r) {
             EXPECT_EQ(r.data, Bytes(pin, pin + 6));
             EXPECT_EQ(r.data2, Bytes(newPin, newPin + 6));
         }},
        {"SeedRandom", [&] { return context->C_SeedRandom(handle, seed, 3); }, 51,
         [&](const Request& r) { EXPECT_EQ(r.data, Bytes(seed, seed + 3)); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        token().requests.clear();
        reply({CKR_PIN_INCORRECT});
        EXPECT_EQ(c.call(), CKR_PIN_INCORRECT);  // the token's answer, unchanged
        const auto requests = sent();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].function, c.function);
        EXPECT_EQ(requests[0].session, 0x11u);
        c.check(requests[0]);
    }
}

TEST_F(SessionsTest, RandomBytesComeIn1024ByteChunks)
{
    startTokens(1);
    const CK_SESSION_HANDLE handle = knownSession(0, 2);
    uint8_t next = 0;
    script([&](const Request& request) {
        Response chunk;
        chunk.output = Bytes(request.outputLength.value_or(0), ++next);
        return chunk;
    });
    std::vector<CK_BYTE> random(2500, 0);
    ASSERT_EQ(context->C_GenerateRandom(handle, random.data(), random.size()), CKR_OK);
    const auto requests = sent();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].outputLength, 1024u);
    EXPECT_EQ(requests[1].outputLength, 1024u);
    EXPECT_EQ(requests[2].outputLength, 452u);
    for (const auto& request : requests) {
        EXPECT_EQ(request.function, 42u);
        EXPECT_EQ(request.session, 2u);
    }
    EXPECT_EQ(random[0], 1);
    EXPECT_EQ(random[1023], 1);
    EXPECT_EQ(random[1024], 2);
    EXPECT_EQ(random[2048], 3);
    EXPECT_EQ(random[2499], 3);
}

TEST_F(SessionsTest, NoRandomBytesNeedNoToken)
{
    startTokens(1);
    CK_BYTE random[1];
    EXPECT_EQ(context->C_GenerateRandom(0x1234, random, 0), CKR_OK);
    EXPECT_TRUE(token().requests.empty());
}

TEST_F(SessionsTest, RandomStopsAtTheFirstFailedChunk)
{
    startTokens(1);
    const CK_SESSION_HANDLE handle = knownSession(0, 2);
    const struct {
        const char* name;
        Response second;
        CK_RV expected;
    } cases[] = {
        {"TokenError", {CKR_DEVICE_MEMORY}, CKR_DEVICE_MEMORY},
        // A short chunk would leave bytes unwritten behind a success.
        {"ShortChunk", {CKR_OK, std::nullopt, Bytes(1000, 7)}, CKR_FUNCTION_FAILED},
        {"NoOutput", {CKR_OK}, CKR_FUNCTION_FAILED},
        // More than asked for does not fit the chunk's buffer.
        {"LongChunk", {CKR_OK, std::nullopt, Bytes(1025, 7)}, CKR_FUNCTION_FAILED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        token().requests.clear();
        int calls = 0;
        script([&](const Request& request) {
            Response first;
            first.output = Bytes(request.outputLength.value_or(0), 1);
            return ++calls == 1 ? first : c.second;
        });
        std::vector<CK_BYTE> random(3000, 0);
        EXPECT_EQ(context->C_GenerateRandom(handle, random.data(), random.size()), c.expected);
        EXPECT_EQ(token().requests.size(), 2u);
    }
}
