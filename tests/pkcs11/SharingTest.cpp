// Several applications on one token, each a process of its own running
// vexa_pkcs11_worker on libvexa-pkcs11.so, against a simulated token reached
// through vexa-daemon or over HID directly; and the token's faults they must
// live through.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "HexText.h"
#include "ToolsEndToEnd.h"
#include "WorkerSteps.h"
#include "wire/Functions.h"
#include "wire/Peek.h"

namespace vexa::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The number of requests with this function id that reached the token.
size_t requestsInTrace(const std::string& traceFile, uint32_t function)
{
    size_t count = 0;
    std::ifstream trace(traceFile);
    for (std::string line; std::getline(trace, line);) {
        std::istringstream fields(line);
        std::string serial, direction, length, hex;
        fields >> serial >> direction >> length >> hex;
        if (direction != "in" || hex == "-") {
            continue;
        }
        const std::vector<uint8_t> bytes = fromHex(hex);
        const auto request = vexa::wire::peekRequest(bytes.data(), bytes.size());
        if (request && request->function == function) {
            ++count;
        }
    }
    return count;
}

// The durations in milliseconds of the calls the worker reported.
std::vector<long> callDurations(const std::string& transcript, const std::string& function)
{
    std::vector<long> durations;
    std::istringstream lines(transcript);
    for (std::string line; std::getline(lines, line);) {
        const auto at = line.find(" ms ");
        if (line.rfind("call " + function + " ", 0) == 0 && at != std::string::npos) {
            durations.push_back(std::stol(line.substr(at + 4)));
        }
    }
    return durations;
}

// The calls the worker reported with a result other than CKR_OK.
std::vector<std::string> failedCalls(const std::string& transcript)
{
    std::vector<std::string> failed;
    std::istringstream lines(transcript);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string word, function, rv;
        fields >> word >> function >> rv;
        if (word == "call" && rv != "0x0") {
            failed.push_back(line);
        }
    }
    return failed;
}

// B initialises and finalises the library again and again (with a session
// of its own, as a tool does), and lists the slots with pkcs11-tool, while
// A, logged in, signs: none of A's calls may fail. Over HID directly the
// processes share a lock file, as they must there; every handle still gets a
// copy of every reply, which in report-id framing nothing but order tells
// apart.
struct SharingCase {
    const char* name;
    LibraryTransport transport;
    const char* tokenOptions;
};

void PrintTo(const SharingCase& c, std::ostream* out) { *out << c.name; }

class SharedTokenTest : public ::testing::TestWithParam<SharingCase> {};

TEST_P(SharedTokenTest, OtherApplicationsComingAndGoingLeaveTheSignerAlone)
{
    DeploymentOptions options;
    options.tokenOptions = GetParam().tokenOptions;
    if (GetParam().transport == LibraryTransport::Hid) {
        options.libraryConfig = R"("lockfile": "exchange.lock")";
    }
    ToolsDeployment deployment(GetParam().transport, options);
    const std::string stop = deployment.file("stop");
    auto signer = deployment.startOurs(worker({"init", "open", "login", "keygen", "a-key", "sign-until", stop}));
    ASSERT_EQ(stepResult(*signer, "keygen", 30s), true) << signer->transcript() << deployment.daemonOutput();

    const RunResult other =
        deployment.runOurs(worker({"init", "open", "login", "finalize", "cycle", "3", "init", "open", "finalize"}));
    EXPECT_EQ(other.status, 0) << other.output;
    for (int i = 0; i < 2; ++i) {
        const RunResult listed = deployment.pkcs11Tool({"-L"});
        EXPECT_EQ(listed.status, 0) << listed.output;
    }
    writeFile(stop, "");

    const RunResult signerRun = signer->finish(60s);
    EXPECT_EQ(signerRun.status, 0) << signerRun.output << deployment.daemonOutput();
    EXPECT_TRUE(failedCalls(signerRun.output).empty()) << signerRun.output;
    EXPECT_FALSE(callDurations(signerRun.output, "C_Sign").empty()) << signerRun.output;
}

INSTANTIATE_TEST_SUITE_P(Cases, SharedTokenTest,
                         ::testing::Values(SharingCase{"ThroughTheDaemon", LibraryTransport::Unix, ""},
                                           SharingCase{"OverTls", LibraryTransport::Tls, ""},
                                           SharingCase{"HidU2F", LibraryTransport::Hid, ""},
                                           SharingCase{"HidReportId", LibraryTransport::Hid, ",framing=reportid"}),
                         [](const auto& info) { return std::string(info.param.name); });

// Two applications sign at once through the daemon, each logging in (the
// second finds the token logged in already) and finalising at its end,
// without a lock file: the daemon keeps their exchanges apart.
TEST(SharedTokenThroughTheDaemon, TwoProcessesSignTwoHundredTimesEach)
{
    ToolsDeployment deployment(LibraryTransport::Unix);
    const RunResult made = deployment.runOurs(worker({"init", "open", "login", "keygen", "shared", "finalize"}));
    ASSERT_EQ(made.status, 0) << made.output;
    const auto signer = worker({"init", "open", "login", "findkey", "shared", "sign", "200", "finalize"});
    RunResult results[2];
    std::thread first([&] { results[0] = deployment.runOurs(signer); });
    std::thread second([&] { results[1] = deployment.runOurs(signer); });
    first.join();
    second.join();
    for (const RunResult& result : results) {
        EXPECT_EQ(result.status, 0) << result.output << deployment.daemonOutput();
        EXPECT_NE(result.output.find("signatures 200 failed 0"), std::string::npos) << result.output;
    }
}

// Over TLS, while A (logged in) signs in a loop, B lists the token with
// pkcs11-tool and signs in a session of its own, five times: every run of B
// is served at once, beside A, and none of A's calls fails. (B signs with the
// worker: the token keeps one login state for all its clients, and
// pkcs11-tool stops at the CKR_USER_ALREADY_LOGGED_IN its login gets.)
TEST(SharedTokenOverTls, AnotherApplicationIsServedWhileOneSigns)
{
    ToolsDeployment deployment(LibraryTransport::Tls);
    const std::string stop = deployment.file("stop");
    auto signer = deployment.startOurs(worker({"init", "open", "login", "keygen", "a-key", "sign-until", stop}));
    ASSERT_EQ(stepResult(*signer, "keygen", 30s), true) << signer->transcript() << deployment.daemonOutput();
    const auto took = [](Clock::time_point start) { return Clock::now() - start; };
    for (int run = 0; run < 5; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        auto start = Clock::now();
        const RunResult listed = deployment.pkcs11Tool({"-L"});
        EXPECT_LT(took(start), 3s);
        EXPECT_EQ(listed.status, 0) << listed.output;
        EXPECT_NE(listed.output.find("token label        : Vexa"), std::string::npos) << listed.output;
        start = Clock::now();
        const RunResult signed_ =
            deployment.runOurs(worker({"init", "open", "login", "findkey", "a-key", "sign", "1", "finalize"}));
        EXPECT_LT(took(start), 3s);
        EXPECT_EQ(signed_.status, 0) << signed_.output << deployment.daemonOutput();
    }
    writeFile(stop, "");
    const RunResult signerRun = signer->finish(60s);
    EXPECT_EQ(signerRun.status, 0) << signerRun.output << deployment.daemonOutput();
    EXPECT_TRUE(failedCalls(signerRun.output).empty()) << signerRun.output;
    EXPECT_FALSE(callDurations(signerRun.output, "C_Sign").empty()) << signerRun.output;
}

// "timeout": 0 over TLS is the default time-out, not a wait for ever: a call
// to a stalled token fails once the library's default wait is over.
TEST(TokenStallOverTls, TimeoutZeroDoesNotWaitForEver)
{
    DeploymentOptions options;
    options.libraryConfig = R"("timeout": 0)";
    options.daemonArgs = {"-to", "20000"};
    ToolsDeployment deployment(LibraryTransport::Tls, options);
    auto app = deployment.startOurs(worker({"init", "open", "-"}));
    ASSERT_EQ(stepResult(*app, "open", 30s), true) << app->transcript();
    ASSERT_EQ(deployment.simulator().control("stall " + deployment.serial() + " on"), "ok");
    app->writeLine("random 1 16");
    // The default wait is 12 s; before, the call had not ended after 100 s.
    EXPECT_EQ(stepResult(*app, "random", 40s), false) << app->transcript();
    ASSERT_EQ(deployment.simulator().control("stall " + deployment.serial() + " off"), "ok");
}

// The token stops answering for longer than the library waits, then comes
// back. Replies of different lengths afterwards show any reply that went to
// the wrong call.
struct StallCase {
    const char* name;
    LibraryTransport transport;
    const char* tokenOptions;
    int libraryTimeout;  // milliseconds
    int daemonTimeout;   // milliseconds; 0 without the daemon
};

void PrintTo(const StallCase& c, std::ostream* out) { *out << c.name; }

class TokenStallTest : public ::testing::TestWithParam<StallCase> {};

TEST_P(TokenStallTest, CallsAfterTheStallGetTheirOwnReplies)
{
    const StallCase& c = GetParam();
    const bool throughDaemon = c.daemonTimeout != 0;
    TempDir traces;
    DeploymentOptions options;
    options.tokenOptions = c.tokenOptions;
    options.simulatorArgs = {"--trace", traces.file("trace")};
    options.libraryConfig = R"("timeout": )" + std::to_string(c.libraryTimeout);
    if (throughDaemon) {
        options.daemonArgs = {"-to", std::to_string(c.daemonTimeout)};
    }
    ToolsDeployment deployment(c.transport, options);
    const auto libraryWait = std::chrono::milliseconds(c.libraryTimeout);
    auto app = deployment.startOurs(worker({"init", "open", "-"}));
    ASSERT_EQ(stepResult(*app, "open", 30s), true) << app->transcript();

    ASSERT_EQ(deployment.simulator().control("stall " + deployment.serial() + " on"), "ok");
    const auto stallBegan = Clock::now();
    app->writeLine("random 1 16");
    EXPECT_EQ(stepResult(*app, "random", 4 * libraryWait + 10s), false) << app->transcript();
    ASSERT_EQ(deployment.simulator().control("stall " + deployment.serial() + " off"), "ok");
    const auto stallEnded = Clock::now();
    if (throughDaemon) {
        // The daemon still waits for the stalled reply. A second call gives
        // up while queued behind it: its request must never reach the token.
        app->writeLine("random 1 16");
        EXPECT_EQ(stepResult(*app, "random", 4 * libraryWait + 10s), false) << app->transcript();
        // The run starts before the daemon's wait is over, late enough for
        // its first call to outlast that wait.
        std::this_thread::sleep_until(stallBegan + std::chrono::milliseconds(c.daemonTimeout) - libraryWait / 2);
    }
    const auto runBegan = Clock::now();
    app->writeLine("random 200 16 48");
    EXPECT_EQ(stepResult(*app, "random", 120s), true) << app->transcript() << deployment.daemonOutput();
    const RunResult finished = app->finish(30s);
    EXPECT_EQ(finished.output.find("wrong-length"), std::string::npos) << finished.output;
    const std::vector<long> calls = callDurations(finished.output, "C_GenerateRandom");
    ASSERT_EQ(calls.size(), throughDaemon ? 202u : 201u) << finished.output;
    if (throughDaemon) {
        EXPECT_EQ(requestsInTrace(traces.file("trace"), vexa::fn::GenerateRandom), 201u)
            << "the abandoned queued request was forwarded";
    }
    const auto ms = [](Clock::duration d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); };
    std::cout << "[ figures  ] stall " << ms(stallEnded - stallBegan) << " ms; run began " << ms(runBegan - stallBegan)
              << " ms after the stall began; its first call took " << calls[calls.size() - 200] << " ms\n";
}

INSTANTIATE_TEST_SUITE_P(Cases, TokenStallTest,
                         ::testing::Values(StallCase{"ThroughTheDaemon", LibraryTransport::Unix, "", 2000, 6000},
                                           StallCase{"HidU2F", LibraryTransport::Hid, "", 1000, 0},
                                           StallCase{"HidReportId", LibraryTransport::Hid, ",framing=reportid", 1000,
                                                     0}),
                         [](const auto& info) { return std::string(info.param.name); });

// Over HID directly the token is unplugged and plugged in again: the same
// process opens a new session and signs, without C_Finalize. Whether a call
// failed while the token was away (the transport has closed) or none was made
// (the transport still holds the old handle), the first call after the plug
// reaches the token.
TEST(TokenReplugOverHid, SameProcessSignsAgainWithoutFinalize)
{
    ToolsDeployment deployment(LibraryTransport::Hid);
    const std::string serial = deployment.serial();
    auto app = deployment.startOurs(worker({"init", "open", "login", "keygen", "k", "sign", "1", "-"}));
    ASSERT_EQ(stepResult(*app, "sign", 30s), true) << app->transcript();
    const auto ms = [](Clock::duration d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); };
    for (const bool callWhileAway : {true, false}) {
        SCOPED_TRACE(callWhileAway ? "a call while the token was away" : "no call while the token was away");
        ASSERT_EQ(deployment.simulator().control("unplug " + serial), "ok");
        if (callWhileAway) {
            app->writeLine("sign 1");
            EXPECT_EQ(stepResult(*app, "sign", 30s), false) << app->transcript();
        }
        ASSERT_EQ(deployment.simulator().control("plug " + serial), "ok");
        const auto plugged = Clock::now();
        app->writeLine("open");
        ASSERT_EQ(stepResult(*app, "open", 30s), true) << app->transcript();
        const auto reopened = Clock::now();
        app->writeLine("login findkey k sign 1");
        EXPECT_EQ(stepResult(*app, "sign", 30s), true) << app->transcript();
        std::cout << "[ figures  ] a new session " << ms(reopened - plugged) << " ms after the plug, a signature "
                  << ms(Clock::now() - plugged) << " ms after it\n";
    }
    const RunResult finished = app->finish(30s);
    EXPECT_NE(finished.output.find("call C_Sign 0x0 len 64"), std::string::npos) << finished.output;
}

// Through the daemon the token is unplugged and plugged in again, with no
// call meanwhile: the process holds a connection to the token's old socket.
// The daemon hangs it up when the token goes, so the first call after the
// plug goes over a new connection to the new socket and succeeds.
TEST(TokenReplugThroughTheDaemon, FirstCallAfterThePlugSucceeds)
{
    ToolsDeployment deployment(LibraryTransport::Unix);
    const std::string serial = deployment.serial();
    const std::string socket = deployment.socketDir() + "/vexa." + serial + ".sock";
    auto app = deployment.startOurs(worker({"init", "open", "random", "1", "16", "-"}));
    ASSERT_EQ(stepResult(*app, "random", 30s), true) << app->transcript();

    ASSERT_EQ(deployment.simulator().control("unplug " + serial), "ok");
    const auto gone = [&] { return ::access(socket.c_str(), F_OK) != 0; };
    const auto end = Clock::now() + 10s;
    while (!gone() && Clock::now() < end) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(gone()) << deployment.daemonOutput();
    ASSERT_EQ(deployment.simulator().control("plug " + serial), "ok");
    const std::string served = "Starting new device thread for " + serial;
    const auto back = [&] {
        const std::string out = deployment.daemonOutput();
        return out.find(served) != out.rfind(served) && ::access(socket.c_str(), F_OK) == 0;
    };
    while (!back() && Clock::now() < end + 10s) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(back()) << deployment.daemonOutput();

    app->writeLine("open");
    EXPECT_EQ(stepResult(*app, "open", 30s), true) << app->transcript() << deployment.daemonOutput();
    app->writeLine("random 1 16");
    EXPECT_EQ(stepResult(*app, "random", 30s), true) << app->transcript();
    const RunResult finished = app->finish(30s);
    EXPECT_TRUE(failedCalls(finished.output).empty()) << finished.output;
}

}  // namespace
}  // namespace vexa::test
