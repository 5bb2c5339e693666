// Several applications on one simulated token through vexa-daemon, over its
// Unix socket and over TLS: what one application leaves on the token when it
// goes, and what another can reach of its sessions. Applications are worker
// processes on libvexa-pkcs11.so (tests/pkcs11/Pkcs11Worker.cpp); a client
// that sends requests of its own, as a hostile or broken one would, is this
// test's process on a connection of its own.
#include <gtest/gtest.h>
#include <p11-kit/pkcs11.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "SocketClient.h"
#include "TestProcess.h"
#include "TlsTestClient.h"
#include "ToolsEndToEnd.h"
#include "wire/Codec.h"

namespace vexa::daemon {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::Bytes;
using test::WaitUntil;
using vexa::test::InteractiveProcess;
using vexa::test::LibraryTransport;
using vexa::test::ToolsDeployment;

std::vector<std::string> Worker(std::vector<std::string> steps)
{
    std::vector<std::string> argv{VEXA_PKCS11_WORKER, VEXA_PKCS11_MODULE, "."};
    argv.insert(argv.end(), steps.begin(), steps.end());
    return argv;
}

// The number a worker printed as "WHAT N", once it has ("WHAT ok", the end
// of a step of that name, is passed over).
std::optional<unsigned long> Shown(InteractiveProcess& worker, const std::string& what)
{
    const auto end = Clock::now() + 30s;
    while (Clock::now() < end) {
        const auto line =
            worker.readUntil(what + " ", std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()));
        if (!line) {
            break;
        }
        const std::string rest = line->substr(what.size() + 1);
        if (!rest.empty() && rest.find_first_not_of("0123456789") == std::string::npos) {
            return std::stoul(rest);
        }
    }
    return std::nullopt;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A connection of this test's own process to the daemon, with requests
// written by hand.
class RawClient {
public:
    RawClient(ToolsDeployment& deployment, LibraryTransport transport)
    {
        if (transport == LibraryTransport::Unix) {
            m_unix = std::make_unique<test::SocketClient>(test::SocketClient::ConnectUnix(deployment.socketPath()));
            m_connected = m_unix->fd() >= 0;
        } else {
            m_tls = std::make_unique<test::TlsTestClient>(deployment.caCert());
            m_connected =
                m_tls->connect(std::to_string(deployment.tlsPort())) && m_tls->handshake(std::chrono::seconds(30)) == 0;
        }
    }
    bool connected() const { return m_connected; }

    // The token's (or the daemon's) rv for the request; nothing when no reply
    // came or it did not decode. handle, when given, receives the reply's.
    std::optional<uint32_t> call(const wire::Request& request, std::optional<uint32_t>* handle = nullptr)
    {
        Bytes encoded;
        if (!wire::encodeRequest(request, encoded, wire::kMaxRequest)) {
            return std::nullopt;
        }
        const Bytes packet = test::MakePacket(encoded);
        if (!(m_unix ? m_unix->send(packet) : m_tls->send(packet))) {
            return std::nullopt;
        }
        const Bytes reply = m_unix ? m_unix->receiveReply() : m_tls->receiveReply();
        wire::Response response;
        if (reply.empty() || !wire::decodeResponse(reply, response)) {
            return std::nullopt;
        }
        if (handle != nullptr) {
            *handle = response.handle;
        }
        return response.rv;
    }

    bool closedByDaemon() { return m_unix ? m_unix->closedByPeer(5s) : m_tls->closedByPeer(5s); }

private:
    std::unique_ptr<test::SocketClient> m_unix;
    std::unique_ptr<test::TlsTestClient> m_tls;
    bool m_connected = false;
};

wire::Request OnSession(uint32_t function, uint32_t session)
{
    wire::Request request;
    request.function = function;
    request.session = session;
    return request;
}

// What a hostile client asks of another's session, each on its own: find
// its objects, read an attribute of its key, sign with it, log it out and
// close it.
std::vector<std::pair<const char*, wire::Request>> Intrusions(uint32_t session, uint32_t key)
{
    wire::Request find = OnSession(fn::FindObjectsInit, session);
    wire::Request found = OnSession(fn::FindObjects, session);
    found.outputLength = 64;
    wire::Request attribute = OnSession(fn::GetAttributeValue, session);
    attribute.handle = key;
    attribute.templ.push_back({CKA_LABEL});
    wire::Request signInit = OnSession(fn::SignInit, session);
    signInit.mechanism = wire::WireMechanism{CKM_ECDSA};
    signInit.handle = key;
    wire::Request sign = OnSession(fn::Sign, session);
    sign.data = Bytes(32, 0x5C);
    sign.outputLength = 128;
    return {{"C_FindObjectsInit", find},
            {"C_FindObjects", found},
            {"C_GetAttributeValue", attribute},
            {"C_SignInit", signInit},
            {"C_Sign", sign},
            {"C_Logout", OnSession(fn::Logout, session)},
            {"C_CloseSession", OnSession(fn::CloseSession, session)}};
}

// Waits for the daemon's line that a client's sessions were closed.
bool ClosedSessionsOf(ToolsDeployment& deployment, const std::string& client, std::chrono::milliseconds wait)
{
    return WaitUntil(
        [&] {
            const std::string log = deployment.daemonOutput();
            return Has(log, "that " + client) && Has(log, "left open on " + deployment.serial() + ".");
        },
        wait);
}

struct Departure {
    const char* name;
    LibraryTransport transport;
    bool killed;  // SIGKILL; otherwise exit() without C_Finalize
};

void PrintTo(const Departure& c, std::ostream* out) { *out << c.name; }

class DepartedApplication : public testing::TestWithParam<Departure> {};

// A logs in, makes a key and goes without C_Finalize. Within 2 s the
// daemon has closed its session, and with it the login: B's session is
// public, B cannot sign with A's key, and B's own C_Login is a fresh login.
TEST_P(DepartedApplication, LeavesTheTokenLoggedOut)
{
    const Departure& c = GetParam();
    ToolsDeployment deployment(c.transport);
    auto a = deployment.startOurs(Worker({"init", "open", "login", "keygen", "a-key", "showkey", "pid", "-"}));
    const auto key = Shown(*a, "key");
    const auto pid = Shown(*a, "pid");
    ASSERT_TRUE(key && pid) << a->transcript() << deployment.daemonOutput();

    if (c.killed) {
        ASSERT_EQ(::kill(static_cast<pid_t>(*pid), SIGKILL), 0);
    } else {
        a->writeLine("exit");
    }
    const vexa::test::RunResult gone = a->finish(10s);
    EXPECT_EQ(gone.status, c.killed ? 128 + SIGKILL : 0) << gone.output;
    const auto ended = Clock::now();
    const std::string client = c.transport == LibraryTransport::Unix ? "process " + std::to_string(*pid) : "TLS client";
    ASSERT_TRUE(ClosedSessionsOf(deployment, client, 2s)) << deployment.daemonOutput();
    std::cout << "[ figures  ] sessions closed "
              << std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - ended).count()
              << " ms after the application ended\n";

    const vexa::test::RunResult b = deployment.runOurs(
        Worker({"init", "open", "private", "usekey", std::to_string(*key), "sign", "1", "login", "finalize"}));
    EXPECT_TRUE(Has(b.output, "private objects 0\n")) << b.output;
    EXPECT_TRUE(Has(b.output, "sign failed\n")) << b.output;
    EXPECT_TRUE(Has(b.output, "call C_Login 0x0\n")) << b.output;
}

INSTANTIATE_TEST_SUITE_P(Cases, DepartedApplication,
                         testing::Values(Departure{"UnixExit", LibraryTransport::Unix, false},
                                         Departure{"UnixKilled", LibraryTransport::Unix, true},
                                         Departure{"TlsExit", LibraryTransport::Tls, false},
                                         Departure{"TlsKilled", LibraryTransport::Tls, true}),
                         [](const auto& info) { return std::string(info.param.name); });

class SessionSharing : public testing::TestWithParam<LibraryTransport> {};

// The worker, logged in, still signs in its session and sees its private
// objects; then it ends.
void ExpectStillLoggedInAndSigning(InteractiveProcess& worker, ToolsDeployment& deployment)
{
    worker.writeLine("sign 2");
    worker.writeLine("private");
    const vexa::test::RunResult worked = worker.finish(30s);
    EXPECT_EQ(worked.status, 0) << worked.output << deployment.daemonOutput();
    EXPECT_TRUE(Has(worked.output, "signatures 2 failed 0\n")) << worked.output;
    EXPECT_FALSE(Has(worked.output, "private objects 0\n")) << worked.output;
}

// While A works in its session, requests of another connection (this
// process) that name A's session are refused by the daemon and never reach
// the token; A's session goes on working, still logged in.
TEST_P(SessionSharing, AnotherConnectionCannotUseASession)
{
    vexa::test::DeploymentOptions options;
    vexa::test::TempDir traces;
    options.simulatorArgs = {"--trace", traces.file("trace")};
    ToolsDeployment deployment(GetParam(), options);
    auto a = deployment.startOurs(Worker({"init", "open", "login", "keygen", "a-key", "showkey", "session", "-"}));
    const auto key = Shown(*a, "key");
    const auto session = Shown(*a, "session");
    ASSERT_TRUE(key && session) << a->transcript() << deployment.daemonOutput();

    RawClient intruder(deployment, GetParam());
    ASSERT_TRUE(intruder.connected());
    const std::string tokenSawBefore = test::ReadFile(traces.file("trace"));
    for (const auto& [name, request] : Intrusions(static_cast<uint32_t>(*session), static_cast<uint32_t>(*key))) {
        EXPECT_EQ(intruder.call(request), CKR_SESSION_HANDLE_INVALID) << name;
    }
    EXPECT_EQ(test::ReadFile(traces.file("trace")), tokenSawBefore) << "a refused request reached the token";

    ExpectStillLoggedInAndSigning(*a, deployment);
}

// B's C_CloseAllSessions closes B's sessions only.
TEST_P(SessionSharing, CloseAllSessionsOfAnotherApplicationLeavesTheSessionOpen)
{
    ToolsDeployment deployment(GetParam());
    auto a = deployment.startOurs(Worker({"init", "open", "login", "keygen", "a-key", "-"}));
    ASSERT_TRUE(a->readUntil("keygen ", 30s)) << a->transcript();
    const vexa::test::RunResult b = deployment.runOurs(Worker({"init", "open", "open", "closeall", "finalize"}));
    EXPECT_EQ(b.status, 0) << b.output;
    a->writeLine("sign 2");
    const vexa::test::RunResult worked = a->finish(30s);
    EXPECT_EQ(worked.status, 0) << worked.output << deployment.daemonOutput();
    EXPECT_TRUE(Has(worked.output, "signatures 2 failed 0\n")) << worked.output;
}

// The token is unplugged and plugged in again, and B opens a session (the
// token's numbers start afresh). A, which opened its session before and
// still names it, never reaches B's session: not to sign, look, log out or
// close.
TEST_P(SessionSharing, OldSessionAfterAReplugNeverReachesANewOne)
{
    ToolsDeployment deployment(GetParam());
    std::optional<uint32_t> session;
    auto old = std::make_unique<RawClient>(deployment, GetParam());
    ASSERT_TRUE(old->connected());
    wire::Request open;
    open.function = fn::OpenSession;
    open.value = CKF_SERIAL_SESSION | CKF_RW_SESSION;
    ASSERT_EQ(old->call(open, &session), CKR_OK);
    ASSERT_TRUE(session);

    const std::string serial = deployment.serial();
    ASSERT_EQ(deployment.simulator().control("unplug " + serial), "ok");
    // The daemon lets go of the token once it sees it gone: at the next
    // request on its port, which this connection does not survive.
    EXPECT_EQ(old->call(OnSession(fn::GetSessionInfo, *session)), std::nullopt);
    EXPECT_TRUE(old->closedByDaemon());
    old.reset();
    // The library finds the daemon's tokens by their sockets when it starts,
    // so B starts once the token's new socket is there: the daemon first
    // withdraws the old one (its next scan finds the token gone), and until
    // then the old socket still takes connections.
    if (GetParam() == LibraryTransport::Unix) {
        ASSERT_TRUE(WaitUntil([&] { return !std::filesystem::exists(deployment.socketPath()); }, 10s));
    }
    ASSERT_EQ(deployment.simulator().control("plug " + serial), "ok");
    if (GetParam() == LibraryTransport::Unix) {
        ASSERT_TRUE(WaitUntil([&] { return test::Listening(deployment.socketPath()); }, 10s));
    }

    // B opens sessions until the token hands out the old number again, and
    // works in that one.
    auto b = deployment.startOurs(Worker({"init", "retry", "20", "open", "-"}));
    std::optional<unsigned long> bSession;
    for (int opened = 0; opened < 8 && (!bSession || *bSession < *session); ++opened) {
        b->writeLine(opened == 0 ? "session" : "open session");
        bSession = Shown(*b, "session");
    }
    ASSERT_EQ(bSession, *session) << b->transcript() << deployment.daemonOutput();
    b->writeLine("login keygen b-key showkey");
    const auto key = Shown(*b, "key");
    ASSERT_TRUE(key) << b->transcript();

    RawClient again(deployment, GetParam());
    ASSERT_TRUE(again.connected());
    for (const auto& [name, request] : Intrusions(*session, static_cast<uint32_t>(*key))) {
        EXPECT_EQ(again.call(request), CKR_SESSION_HANDLE_INVALID) << name;
    }
    ExpectStillLoggedInAndSigning(*b, deployment);
}

INSTANTIATE_TEST_SUITE_P(Transports, SessionSharing, testing::Values(LibraryTransport::Unix, LibraryTransport::Tls),
                         [](const auto& info) { return vexa::test::transportName(info.param); });

}  // namespace
}  // namespace vexa::daemon
