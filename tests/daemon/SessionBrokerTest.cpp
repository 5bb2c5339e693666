// The daemon's session broker over a stand-in token that keeps sessions:
// who owns which session, what reaches the token, and what is closed when a
// client goes. Processes are stood in for by pipes: a byte written into the
// pipe is the process ending.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "CapturedLog.h"
#include "SessionBroker.h"
#include "SessionToken.h"

namespace vexa::daemon {
namespace {

using namespace test;
using Bytes = std::vector<uint8_t>;

// The token through the broker's link; can be told to fail.
class Link : public ITokenLink {
public:
    explicit Link(SessionToken& token) : m_token(token) {}
    ExchangeOutcome transfer(uint8_t* buffer, uint32_t length, uint32_t& replyLength) override
    {
        if (fails) {
            return ExchangeOutcome::Failed;
        }
        const Bytes reply = m_token.answer(Bytes(buffer, buffer + length));
        std::copy(reply.begin(), reply.end(), buffer);
        replyLength = static_cast<uint32_t>(reply.size());
        return ExchangeOutcome::Replied;
    }
    bool fails = false;

private:
    SessionToken& m_token;
};

class RecordingWatch : public IProcessWatch {
public:
    uint64_t watch(int, ClientId client) override
    {
        watched.push_back(client);
        return watched.size();
    }
    void forget(uint64_t handle) override { forgotten.push_back(handle); }
    std::vector<ClientId> watched;
    std::vector<uint64_t> forgotten;
};

// A process as its pidfd shows it: readable once it has ended.
class FakeProcess {
public:
    explicit FakeProcess(pid_t pid) : m_pid(pid) { EXPECT_EQ(pipe(m_pipe), 0); }
    ~FakeProcess()
    {
        close(m_pipe[0]);
        close(m_pipe[1]);
    }
    pid_t pid() const { return m_pid; }
    // A pidfd of its own for each connection, as the daemon gets one.
    int pidfd() const { return dup(m_pipe[0]); }
    void end() { EXPECT_EQ(write(m_pipe[1], "x", 1), 1); }

private:
    pid_t m_pid;
    int m_pipe[2] = {-1, -1};
};

class SessionBrokerTest : public testing::Test {
public:
    // The rv the client gets for a call, or nothing when no reply came.
    std::optional<uint32_t> call(ClientId client, uint32_t function, std::optional<uint32_t> session = std::nullopt)
    {
        return reply(client, EncodedCall(function, session)).first;
    }
    // The rv and the handle of the reply to any bytes.
    std::pair<std::optional<uint32_t>, std::optional<uint32_t>> reply(ClientId client, const Bytes& request)
    {
        std::vector<uint8_t> buffer(kBrokerBuffer);
        std::copy(request.begin(), request.end(), buffer.begin());
        uint32_t replyLength = 0;
        if (broker.serve(client, buffer.data(), static_cast<uint32_t>(request.size()), replyLength, link) !=
                ExchangeOutcome::Replied ||
            replyLength == 0) {
            return {};
        }
        wire::Response response;
        if (!wire::decodeResponse(Bytes(buffer.begin(), buffer.begin() + replyLength), response)) {
            return {};
        }
        return {response.rv, response.handle};
    }
    uint32_t open(ClientId client)
    {
        const auto [rv, handle] = reply(client, EncodedCall(fn::OpenSession));
        EXPECT_EQ(rv, CKR_OK);
        return handle.value_or(0);
    }
    size_t tokenSaw(uint32_t function) const
    {
        const auto calls = token.calls();
        return static_cast<size_t>(std::count_if(calls.begin(), calls.end(),
                                                 [function](const TokenCall& c) { return c.function == function; }));
    }

    SessionToken token;
    Link link{token};
    RecordingWatch watch;
    CSessionBroker broker{"TOKEN01", &watch};
};

TEST_F(SessionBrokerTest, OpenedSessionsAreTheOpenersUntilClosed)
{
    const ClientId a = broker.attachConnection("a");
    const uint32_t first = open(a);
    const uint32_t second = open(a);
    EXPECT_EQ(broker.ownerOf(first), a);
    EXPECT_EQ(broker.ownerOf(second), a);
    EXPECT_EQ(call(a, fn::CloseSession, first), CKR_OK);
    EXPECT_EQ(broker.ownerOf(first), std::nullopt);
    // Closed twice: the token answers, and the number stays free.
    EXPECT_EQ(call(a, fn::CloseSession, first), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(tokenSaw(fn::CloseSession), 2u);
    EXPECT_EQ(broker.sessionCount(), 1u);
}

// Every call on a session, from a client that does not own it, is answered
// by the daemon; the owner's session goes on working.
TEST_F(SessionBrokerTest, AnotherClientsSessionIsRefusedWithoutReachingTheToken)
{
    const ClientId a = broker.attachConnection("a");
    const ClientId b = broker.attachConnection("b");
    const uint32_t session = open(a);
    EXPECT_EQ(call(a, fn::Login, session), CKR_OK);
    token.forgetCalls();
    CapturedLog log;
    for (const FunctionId function : {fn::FindObjectsInit, fn::FindObjects, fn::SignInit, fn::Sign,
                                      fn::GetAttributeValue, fn::Logout, fn::CloseSession, fn::GetSessionInfo}) {
        EXPECT_EQ(call(b, function, session), CKR_SESSION_HANDLE_INVALID) << wire::findCall(function)->name;
    }
    EXPECT_TRUE(token.calls().empty());
    EXPECT_NE(log.text().find("INFO : Refused C_Sign of b on TOKEN01: session 1 is another client's.\n"),
              std::string::npos)
        << log.text();
    EXPECT_EQ(call(a, fn::Sign, session), CKR_OK);
    EXPECT_TRUE(token.loggedIn());
    EXPECT_EQ(broker.ownerOf(session), a);
}

TEST_F(SessionBrokerTest, CloseAllSessionsClosesTheCallersOnly)
{
    const ClientId a = broker.attachConnection("a");
    const ClientId b = broker.attachConnection("b");
    const uint32_t kept = open(a);
    const uint32_t closed[] = {open(b), open(b)};
    EXPECT_EQ(call(b, fn::CloseAllSessions), CKR_OK);
    EXPECT_EQ(tokenSaw(fn::CloseAllSessions), 0u);
    EXPECT_EQ(token.calls().back(), (TokenCall{fn::CloseSession, closed[1]}));
    EXPECT_FALSE(token.isOpen(closed[0]) || token.isOpen(closed[1]));
    EXPECT_EQ(call(a, fn::Sign, kept), CKR_OK);
    // Nothing left to close: answered without the token.
    token.forgetCalls();
    EXPECT_EQ(call(b, fn::CloseAllSessions), CKR_OK);
    EXPECT_TRUE(token.calls().empty());
}

struct CloseAllFault {
    const char* name;
    std::function<void(SessionToken&, Link&)> inject;
    std::optional<uint32_t> rv;  // nothing: the exchange fails
    bool stillHeld;
};

void PrintTo(const CloseAllFault& c, std::ostream* out) { *out << c.name; }

class SessionBrokerCloseAll : public SessionBrokerTest, public testing::WithParamInterface<CloseAllFault> {};

TEST_P(SessionBrokerCloseAll, ReportsWhatTheTokenDid)
{
    const ClientId a = broker.attachConnection("a");
    const uint32_t session = open(a);
    GetParam().inject(token, link);
    std::vector<uint8_t> buffer(kBrokerBuffer);
    const Bytes request = EncodedCall(fn::CloseAllSessions);
    std::copy(request.begin(), request.end(), buffer.begin());
    uint32_t replyLength = 0;
    const ExchangeOutcome outcome =
        broker.serve(a, buffer.data(), static_cast<uint32_t>(request.size()), replyLength, link);
    if (!GetParam().rv) {
        EXPECT_EQ(outcome, ExchangeOutcome::Failed);
    } else {
        wire::Response response;
        ASSERT_TRUE(wire::decodeResponse(Bytes(buffer.begin(), buffer.begin() + replyLength), response));
        EXPECT_EQ(response.rv, *GetParam().rv);
    }
    EXPECT_EQ(broker.ownerOf(session).has_value(), GetParam().stillHeld);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SessionBrokerCloseAll,
    testing::Values(
        CloseAllFault{"TokenRefuses", [](SessionToken& t, Link&) { t.refuseClose = CKR_DEVICE_MEMORY; },
                      CKR_DEVICE_MEMORY, true},
        CloseAllFault{"TokenSilent", [](SessionToken& t, Link&) { t.silent = true; }, CKR_DEVICE_ERROR, true},
        CloseAllFault{"PortFails", [](SessionToken&, Link& l) { l.fails = true; }, std::nullopt, true},
        CloseAllFault{"AlreadyClosedOnTheToken",
                      [](SessionToken& t, Link&) { t.answer(EncodedCall(fn::CloseSession, 1)); }, CKR_OK, false}),
    [](const testing::TestParamInfo<CloseAllFault>& info) { return std::string(info.param.name); });

// A session that was open before the daemon started belongs to the first
// client that uses it successfully; a number the token does not know is
// nobody's.
TEST_F(SessionBrokerTest, SessionNeverSeenOpenedIsAdoptedOnSuccess)
{
    token.opened(7);
    const ClientId a = broker.attachConnection("a");
    const ClientId b = broker.attachConnection("b");
    EXPECT_EQ(call(b, fn::Sign, 9), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(broker.ownerOf(9), std::nullopt);
    EXPECT_EQ(call(a, fn::GetSessionInfo, 7), CKR_OK);
    EXPECT_EQ(broker.ownerOf(7), a);
    EXPECT_EQ(call(b, fn::GetSessionInfo, 7), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(tokenSaw(fn::GetSessionInfo), 1u);
}

// The token hands out a number again that the table still gives to
// another client (its close went unseen): the new opener owns it.
TEST_F(SessionBrokerTest, NumberHandedOutAgainGoesToTheNewOpener)
{
    const ClientId a = broker.attachConnection("a");
    const ClientId b = broker.attachConnection("b");
    const uint32_t session = open(a);
    SessionToken fresh;  // counts from 1 again
    Link freshLink{fresh};
    std::vector<uint8_t> buffer(kBrokerBuffer);
    const Bytes request = EncodedCall(fn::OpenSession);
    std::copy(request.begin(), request.end(), buffer.begin());
    uint32_t replyLength = 0;
    ASSERT_EQ(broker.serve(b, buffer.data(), static_cast<uint32_t>(request.size()), replyLength, freshLink),
              ExchangeOutcome::Replied);
    EXPECT_EQ(broker.ownerOf(session), b);
    EXPECT_EQ(broker.sessionCount(), 1u);
}

// What does not read as a request is passed on; a reply that does not read
// as one changes nothing.
TEST_F(SessionBrokerTest, MessagesItCannotReadChangeNothing)
{
    const ClientId a = broker.attachConnection("a");
    const uint32_t session = open(a);
    const ClientId b = broker.attachConnection("b");
    EXPECT_EQ(reply(b, {0x10, 0x01}).first, CKR_GENERAL_ERROR);        // no function
    EXPECT_EQ(reply(b, {0x08, 0x16, 0x10}).first, CKR_GENERAL_ERROR);  // session cut short
    EXPECT_EQ(call(b, 200, session), CKR_FUNCTION_NOT_SUPPORTED);      // no such function
    EXPECT_EQ(call(b, fn::GetTokenInfo), CKR_OK);                      // not on a session
    EXPECT_EQ(call(b, fn::Sign), CKR_SESSION_HANDLE_INVALID);          // no session named
    token.silent = true;
    EXPECT_EQ(call(b, fn::OpenSession), std::nullopt);
    EXPECT_EQ(call(b, fn::Sign, session), CKR_SESSION_HANDLE_INVALID);  // still a's
    EXPECT_EQ(broker.sessionCount(), 1u);
    EXPECT_EQ(broker.ownerOf(session), a);
}

// A process keeps its sessions while it lives, however often it reconnects;
// once it has ended and its last connection has gone, they are closed.
TEST_F(SessionBrokerTest, ProcessSessionsAreClosedOnceItHasGone)
{
    FakeProcess process(4321);
    const ClientId a = broker.attachProcess(process.pid(), process.pidfd());
    const uint32_t sessions[] = {open(a), open(a)};
    EXPECT_EQ(call(a, fn::Login, sessions[0]), CKR_OK);
    const ClientId again = broker.attachProcess(process.pid(), process.pidfd());
    EXPECT_EQ(again, a);
    EXPECT_EQ(watch.watched, std::vector<ClientId>{a});
    broker.detach(a, link);
    broker.detach(a, link);
    EXPECT_EQ(broker.sessionCount(), 2u);  // alive, no connection: it may come back
    EXPECT_EQ(broker.attachProcess(process.pid(), process.pidfd()), a);
    broker.detach(a, link);

    CapturedLog log;
    process.end();
    broker.processEnded(a, link);
    EXPECT_EQ(broker.sessionCount(), 0u);
    EXPECT_EQ(broker.clientCount(), 0u);
    EXPECT_FALSE(token.isOpen(sessions[0]) || token.isOpen(sessions[1]));
    EXPECT_FALSE(token.loggedIn());
    EXPECT_NE(log.text().find("INFO : Closed the 2 session(s) that process 4321 left open on TOKEN01.\n"),
              std::string::npos)
        << log.text();
}

struct Departure {
    const char* name;
    // Attaches the client, opens its session and lets it go; true when its
    // sessions must be closed by then.
    std::function<bool(SessionBrokerTest&, CSessionBroker&, ClientId&)> go;
};

void PrintTo(const Departure& c, std::ostream* out) { *out << c.name; }

class SessionBrokerDeparture : public SessionBrokerTest, public testing::WithParamInterface<Departure> {};

TEST_P(SessionBrokerDeparture, ClosesWhatTheClientLeftOnce)
{
    CapturedLog log;
    ClientId client = 0;
    const bool closed = GetParam().go(*this, broker, client);
    EXPECT_EQ(broker.sessionCount(), closed ? 0u : 1u);
    EXPECT_EQ(tokenSaw(fn::CloseSession), closed ? 1u : 0u);
    if (closed) {
        // A late word about a client that has gone changes nothing.
        broker.processEnded(client, link);
        broker.detach(client, link);
        EXPECT_EQ(tokenSaw(fn::CloseSession), 1u);
        EXPECT_EQ(broker.clientCount(), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, SessionBrokerDeparture,
                         testing::Values(Departure{"ConnectionEnds",
                                                   [](SessionBrokerTest& t, CSessionBroker& b, ClientId& c) {
                                                       c = b.attachConnection("TLS client 1 (127.0.0.1)");
                                                       t.open(c);
                                                       b.detach(c, t.link);
                                                       return true;
                                                   }},
                                         Departure{"ProcessEndedBeforeItsConnection",
                                                   [](SessionBrokerTest& t, CSessionBroker& b, ClientId& c) {
                                                       FakeProcess process(77);
                                                       c = b.attachProcess(process.pid(), process.pidfd());
                                                       t.open(c);
                                                       process.end();
                                                       b.detach(c, t.link);
                                                       return true;
                                                   }},
                                         Departure{"ProcessLivesOnWithoutConnection",
                                                   [](SessionBrokerTest& t, CSessionBroker& b, ClientId& c) {
                                                       FakeProcess process(78);
                                                       c = b.attachProcess(process.pid(), process.pidfd());
                                                       t.open(c);
                                                       b.detach(c, t.link);
                                                       return false;
                                                   }},
                                         Departure{"ProcessEndsWithAConnectionLeft",
                                                   [](SessionBrokerTest& t, CSessionBroker& b, ClientId& c) {
                                                       FakeProcess process(79);
                                                       c = b.attachProcess(process.pid(), process.pidfd());
                                                       t.open(c);
                                                       process.end();
                                                       b.processEnded(c, t.link);
                                                       return false;
                                                   }},
                                         Departure{"ProcessThatCannotBeWatched",
                                                   [](SessionBrokerTest& t, CSessionBroker& b, ClientId& c) {
                                                       c = b.attachProcess(80, -1);
                                                       t.open(c);
                                                       b.detach(c, t.link);
                                                       return true;
                                                   }}),
                         [](const testing::TestParamInfo<Departure>& info) { return std::string(info.param.name); });

// A pid whose process has ended and that comes again is another process.
TEST_F(SessionBrokerTest, ReusedPidIsANewClient)
{
    FakeProcess first(555);
    const ClientId a = broker.attachProcess(first.pid(), first.pidfd());
    const uint32_t session = open(a);
    first.end();
    FakeProcess second(555);
    const ClientId b = broker.attachProcess(second.pid(), second.pidfd());
    EXPECT_NE(a, b);
    EXPECT_EQ(call(b, fn::Sign, session), CKR_SESSION_HANDLE_INVALID);
    broker.processEnded(a, link);
    broker.detach(a, link);
    EXPECT_EQ(broker.ownerOf(session), std::nullopt);
    EXPECT_FALSE(token.isOpen(session));
}

// A session the token will not close stays nobody's to use.
TEST_F(SessionBrokerTest, SessionTheTokenKeepsAfterDepartureStaysRefused)
{
    const ClientId a = broker.attachConnection("TLS client 4 (::1)");
    const uint32_t session = open(a);
    token.refuseClose = CKR_FUNCTION_FAILED;
    CapturedLog log;
    broker.detach(a, link);
    EXPECT_NE(log.text().find("ERROR : Closed 0 of the 1 sessions that TLS client 4 (::1) left open on TOKEN01; the "
                              "token kept one.\n"),
              std::string::npos)
        << log.text();
    const ClientId b = broker.attachConnection("b");
    EXPECT_EQ(call(b, fn::Sign, session), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(tokenSaw(fn::Sign), 0u);
}

TEST_F(SessionBrokerTest, GoneTokenTakesEverythingWithIt)
{
    FakeProcess process(99);
    const ClientId a = broker.attachProcess(process.pid(), process.pidfd());
    open(a);
    broker.clear();
    EXPECT_EQ(broker.sessionCount(), 0u);
    EXPECT_EQ(broker.clientCount(), 0u);
    EXPECT_EQ(watch.forgotten, std::vector<uint64_t>{1});
    token.forgetCalls();
    broker.detach(a, link);
    EXPECT_TRUE(token.calls().empty());
}

}  // namespace
}  // namespace vexa::daemon
