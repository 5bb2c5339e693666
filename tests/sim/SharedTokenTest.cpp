// Two applications using one simulated token over HID at the same time,
// each through libvexa-pkcs11.so in a process of its own (vexa-sim-signer),
// with and without the lock file that serialises their exchanges.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "TempDir.h"
#include "TokenSimulator.h"

namespace {

using vexa::test::RunResult;
using vexa::test::TempDir;
using vexa::test::TokenSimulator;
using namespace std::chrono_literals;

constexpr int kSignatures = 200;
// The library's read time-out here: short, so that a lost reply costs little.
constexpr int kTimeoutMs = 3000;

struct Figures {
    long signedCount = -1;
    long retries = -1;
    long wrong = -1;
    long slowestMs = -1;
    double seconds = -1;
};

Figures figuresOf(const std::string& output)
{
    Figures f;
    const size_t at = output.rfind("signed ");
    if (at != std::string::npos) {
        std::sscanf(output.c_str() + at, "signed %ld retries %ld wrong %ld slowest_ms %ld seconds %lf", &f.signedCount,
                    &f.retries, &f.wrong, &f.slowestMs, &f.seconds);
    }
    return f;
}

// Runs two signers at once on the simulator's one token and returns what
// each printed; configuration is the body of vexaconfig.json.
std::vector<RunResult> signTogether(const std::vector<std::string>& simArgs, const std::string& configuration)
{
    TempDir dir;
    std::ofstream(dir.file("vexaconfig.json")) << configuration;
    TokenSimulator sim(simArgs);
    std::vector<RunResult> results(2);
    std::vector<std::thread> runs;
    for (size_t i = 0; i < results.size(); ++i) {
        const std::vector<std::string> argv = {VEXA_SIM_SIGNER, dir.path(), std::to_string(kSignatures),
                                               "process" + std::to_string(i)};
        runs.emplace_back([&results, &sim, argv, i] { results[i] = sim.run(argv, {}, 180s); });
    }
    for (std::thread& run : runs) {
        run.join();
    }
    return results;
}

const std::string kU2fToken = "00000000000A";
const std::string kConfiguration = R"({"timeout": )" + std::to_string(kTimeoutMs) + "}";

void expectAllSignedWithTheirOwnReplies(const std::vector<RunResult>& results, const char* what)
{
    for (const RunResult& result : results) {
        EXPECT_EQ(result.status, 0) << result.output;
        const Figures f = figuresOf(result.output);
        EXPECT_EQ(f.signedCount, kSignatures) << result.output;
        EXPECT_EQ(f.wrong, 0) << result.output;
        // No call waits beyond the time-out for a reply that never comes.
        EXPECT_LT(f.slowestMs, 2 * kTimeoutMs) << result.output;
        const size_t line = result.output.rfind("signed ");
        if (line != std::string::npos) {
            std::printf("[ figures  ] %s: %s", what, result.output.c_str() + line);
        }
    }
}

// Both processes send whenever they like: one's request during the other's
// transaction is told the channel is busy and made again. Each receives only
// on its own channel (the INIT nonces come from the system's random source,
// so two processes never share one), and no process takes another's reply.
TEST(SharedToken, TwoProcessesWithoutLockFileBothFinishWithTheirOwnReplies)
{
    expectAllSignedWithTheirOwnReplies(signTogether({"--token", kU2fToken}, kConfiguration), "without lock file");
}

// At USB pace each exchange takes longer, so the two overlap far more often.
TEST(SharedToken, TwoProcessesWithoutLockFileAtUsbPaceBothFinishWithTheirOwnReplies)
{
    expectAllSignedWithTheirOwnReplies(signTogether({"--usb-timing", "--token", kU2fToken}, kConfiguration),
                                       "without lock file, USB pace");
}

// With the lock file, exchanges never overlap: no busy answers, no retries.
TEST(SharedToken, TwoProcessesWithLockFileSucceedAtTheFirstTry)
{
    TempDir lock;
    const auto results =
        signTogether({"--token", kU2fToken}, R"({"timeout": )" + std::to_string(kTimeoutMs) + R"(, "lockfile": ")" +
                                                 lock.file("exchange.lock") + R"("})");
    for (const RunResult& result : results) {
        EXPECT_EQ(result.status, 0) << result.output;
        const Figures f = figuresOf(result.output);
        EXPECT_EQ(f.signedCount, kSignatures) << result.output;
        EXPECT_EQ(f.retries, 0) << result.output;
        EXPECT_EQ(f.wrong, 0) << result.output;
        const size_t line = result.output.rfind("signed ");
        if (line != std::string::npos) {
            std::printf("[ figures  ] with lock file: %s", result.output.c_str() + line);
        }
    }
}

}  // namespace
