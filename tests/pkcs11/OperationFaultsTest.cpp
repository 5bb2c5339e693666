// An application's operation survives the faults of the road to the token:
// after a C_Sign the token never answered (an ERROR frame, a reply lost in
// a broken frame, a stall longer than the library waits) the application
// starts again with C_SignInit on the same session, and that succeeds; a
// busy token is asked again. Real processes (vexa_pkcs11_worker) on a
// simulated token, over HID directly and through the daemon.
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <string>
#include <thread>

#include "ToolsEndToEnd.h"
#include "WorkerSteps.h"

namespace vexa::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point start)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

bool sawOperationActive(const std::string& transcript)
{
    return transcript.find("call C_SignInit 0x90") != std::string::npos;
}

// Single-part calls on 4,500 bytes, more than one message holds, through
// the daemon and over HID directly: HMAC-SHA256 and SHA-256 give what they
// give everywhere (the values of Python's hmac and hashlib), AES-CBC-PAD
// decrypts what it encrypted, and the session signs on as usual.
class LargeSinglePartCalls : public ::testing::TestWithParam<LibraryTransport> {};

TEST_P(LargeSinglePartCalls, SucceedAndTheSessionGoesOn)
{
    ToolsDeployment deployment(GetParam());
    const RunResult run =
        deployment.runOurs(worker({"init", "open", "login", "large", "keygen", "k", "sign", "3", "finalize"}));
    EXPECT_EQ(run.status, 0) << run.output << deployment.daemonOutput();
    EXPECT_NE(run.output.find("mac bc1eba30c76bdecc9aa157a7e175f5c19688f00cde129c448c7bef845e1c2c73"),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("digest 5fdbad7999f95c40275f7f78002e35ab23614c1782413b116f20d6e3b214b189"),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("large ok"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("signatures 3 failed 0"), std::string::npos) << run.output;
}

INSTANTIATE_TEST_SUITE_P(Transports, LargeSinglePartCalls,
                         ::testing::Values(LibraryTransport::Hid, LibraryTransport::Unix),
                         [](const auto& info) { return transportName(info.param); });

struct FaultCase {
    const char* name;
    const char* line;   // the control line, with SERIAL for the token's serial
    bool signSucceeds;  // the C_Sign that meets the fault
};

void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.name; }

class OperationAfterAFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(OperationAfterAFault, NextSignInitOnTheSameSessionSucceeds)
{
    ToolsDeployment deployment(LibraryTransport::Hid);
    auto app = deployment.startOurs(worker({"init", "open", "login", "keygen", "k", "-"}));
    ASSERT_EQ(stepResult(*app, "keygen", 30s), true) << app->transcript();
    for (int round = 0; round < 2; ++round) {
        app->writeLine("signinit");
        ASSERT_EQ(stepResult(*app, "signinit", 30s), true) << app->transcript();
        std::string line = GetParam().line;
        line.replace(line.find("SERIAL"), 6, deployment.serial());
        ASSERT_EQ(deployment.simulator().control(line), "ok");
        app->writeLine("signonce");
        EXPECT_EQ(stepResult(*app, "signonce", 30s), GetParam().signSucceeds) << app->transcript();
        app->writeLine("sign 3");
        EXPECT_EQ(stepResult(*app, "sign", 30s), true) << app->transcript();
    }
    const RunResult finished = app->finish(30s);
    EXPECT_FALSE(sawOperationActive(finished.output)) << finished.output;
}

INSTANTIATE_TEST_SUITE_P(Faults, OperationAfterAFault,
                         ::testing::Values(FaultCase{"ErrorFrame", "error SERIAL 127", false},
                                           FaultCase{"BrokenReply", "garble SERIAL", false},
                                           FaultCase{"ChannelBusy", "error SERIAL 6", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Through the daemon, a process logged in signs in a loop, starting again
// from C_SignInit after a failure; the token stalls for 15 s, longer than the
// library waits (5 s). Requests the daemon forwards once the stall is over
// may be carried out after their caller gave up. The simulated token never
// answers a request it got while stalled, so the daemon's port is free again
// only when its own wait (20 s here) is over: the same session signs again
// by then, within one more wait of the library, and 200 times more.
TEST(OperationAfterAStall, SameSessionSignsAgainThroughTheDaemon)
{
    constexpr long kLibraryTimeoutMs = 5000;
    constexpr long kDaemonTimeoutMs = 20000;
    DeploymentOptions options;
    options.libraryConfig = R"("timeout": )" + std::to_string(kLibraryTimeoutMs);
    options.daemonArgs = {"-to", std::to_string(kDaemonTimeoutMs)};
    ToolsDeployment deployment(LibraryTransport::Unix, options);
    auto app = deployment.startOurs(worker({"init", "open", "login", "keygen", "k", "sign", "3", "signinit", "-"}));
    ASSERT_EQ(stepResult(*app, "signinit", 30s), true) << app->transcript() << deployment.daemonOutput();

    // The stall meets a C_Sign: the library gives up on it, and so reports
    // the operation ended, while the token still holds it.
    ASSERT_EQ(deployment.simulator().control("stall " + deployment.serial() + " on"), "ok");
    const auto stallBegan = Clock::now();
    app->writeLine("signonce");
    EXPECT_EQ(stepResult(*app, "signonce", 30s), false) << app->transcript();
    app->writeLine("retry 100 sign 1");
    std::this_thread::sleep_until(stallBegan + 15s);
    ASSERT_EQ(deployment.simulator().control("stall " + deployment.serial() + " off"), "ok");
    EXPECT_EQ(stepResult(*app, "retry", 90s), true) << app->transcript() << deployment.daemonOutput();
    const long signedAgain = msSince(stallBegan);
    EXPECT_LT(signedAgain, kDaemonTimeoutMs + kLibraryTimeoutMs + 2000);

    app->writeLine("sign 200");
    EXPECT_EQ(stepResult(*app, "sign", 120s), true) << app->transcript();
    const RunResult finished = app->finish(30s);
    EXPECT_NE(finished.output.find("signatures 200 failed 0"), std::string::npos) << finished.output;
    EXPECT_FALSE(sawOperationActive(finished.output)) << finished.output;
    std::cout << "[ figures  ] stall 15000 ms; the same session signed again " << signedAgain
              << " ms after the stall began\n";
}

// Two processes on one U2FHID token over HID directly, without a lock file:
// a request meeting the other's transaction is told the channel is busy and
// goes again. Both make 200 signatures, starting again from C_SignInit when
// a call fails, and never meet CKR_OPERATION_ACTIVE.
TEST(OperationsOfTwoProcesses, BothSignTwoHundredTimesOverHidWithoutLockFile)
{
    DeploymentOptions options;
    // At USB pace the two processes' exchanges overlap often.
    options.simulatorArgs = {"--usb-timing"};
    options.libraryConfig = R"("logging": {"loglevel": 20, "logfile": "library.log"})";
    ToolsDeployment deployment(LibraryTransport::Hid, options);
    const RunResult made = deployment.runOurs(worker({"init", "open", "login", "keygen", "shared", "finalize"}));
    ASSERT_EQ(made.status, 0) << made.output;
    const auto signer = worker({"init", "open", "login", "findkey", "shared", "sign-retrying", "200", "finalize"});
    RunResult results[2];
    const auto began = Clock::now();
    std::thread first([&] { results[0] = deployment.runOurs(signer); });
    std::thread second([&] { results[1] = deployment.runOurs(signer); });
    first.join();
    second.join();
    for (const RunResult& result : results) {
        EXPECT_EQ(result.status, 0) << result.output;
        EXPECT_NE(result.output.find("signatures 200 failed 0"), std::string::npos) << result.output;
        EXPECT_FALSE(sawOperationActive(result.output)) << result.output;
        const size_t line = result.output.find("signatures 200");
        if (line != std::string::npos) {
            std::cout << "[ figures  ] " << result.output.substr(line, result.output.find('\n', line) - line) << "\n";
        }
    }
    const std::string log = readFile(deployment.file("library.log"));
    size_t busy = 0;
    for (size_t at = log.find("u2f channel busy"); at != std::string::npos; at = log.find("u2f channel busy", at + 1)) {
        ++busy;
    }
    std::cout << "[ figures  ] both processes done in " << msSince(began) << " ms; " << busy
              << " requests sent again after a busy answer\n";
}

}  // namespace
}  // namespace vexa::test
