#pragma once
// Drives vexa-token-sim for tests.
//
//   vexa::test::TokenSimulator sim({"--token", "00000000000A",
//                                   "--token", "00000000000B,framing=reportid"});
//   auto r = sim.run({"/path/to/program", "arg"});   // sees both tokens
//   EXPECT_EQ(sim.control("unplug 00000000000A"), "ok");
//   sim.stop();                                       // also done by the destructor
//
// Programs that should see the tokens need sim.environment() (LD_PRELOAD,
// UMOCKDEV_DIR, and ASAN_OPTIONS allowing the preload in front of the
// sanitizer runtime); run() adds it for you. Test binaries that use hidapi
// in-process are instead run by ctest under the simulator's command mode
// (vexa-token-sim ... -- test-binary) and reach it through
// VEXA_SIM_CONTROL: see controlFromInside().
#include <sys/types.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "Process.h"

namespace vexa::test {

// build/bin/vexa-token-sim, or $VEXA_TOKEN_SIM when set.
std::string simulatorPath();

// Paths to preload in front of everything for a third-party program that
// loads our sanitized library; empty in the normal build.
std::string sanitizerPreload();

class TokenSimulator {
public:
    // Starts the simulator in serve mode with these arguments and waits for
    // its environment lines. Throws std::runtime_error when it does not start
    // (its own message is on standard error).
    explicit TokenSimulator(const std::vector<std::string>& args = {});
    ~TokenSimulator();
    TokenSimulator(const TokenSimulator&) = delete;
    TokenSimulator& operator=(const TokenSimulator&) = delete;

    // What a program needs to see the tokens.
    Environment environment() const;
    // One of the variables the simulator printed ("" if absent).
    std::string variable(const std::string& name) const;

    // Sends one control line ("unplug SERIAL", ...) and returns the answer,
    // "ok" or "error: ...". Throws std::runtime_error when the simulator does
    // not answer within a few seconds or is gone. Thread-safe.
    std::string control(const std::string& line);

    // Runs a program under the tokens; `extra` goes on top of environment().
    RunResult run(const std::vector<std::string>& argv, const Environment& extra = {},
                  std::chrono::milliseconds timeout = std::chrono::seconds(60));

    // Ends serve mode (closes its standard input) and waits for it to remove
    // its testbed; kills it if it takes too long. Idempotent.
    void stop();
    pid_t pid() const { return m_pid; }

private:
    std::string readLine(std::chrono::milliseconds timeout);

    pid_t m_pid = -1;
    int m_toSim = -1;
    int m_fromSim = -1;
    std::string m_pending;  // bytes read from the simulator after the last full line
    Environment m_printed;
    std::mutex m_controlMutex;  // guards m_toSim/m_fromSim traffic and m_pending
};

// Inside a program run under the simulator's command mode: sends one control
// line through $VEXA_SIM_CONTROL and returns the answer. Throws
// std::runtime_error when the variable is unset or the socket fails.
std::string controlFromInside(const std::string& line);

// Runs argv under a fresh simulator in command mode:
// vexa-token-sim SIMARGS -- ARGV, with ASAN_OPTIONS set for the preload.
RunResult runUnderSimulator(const std::vector<std::string>& simArgs, const std::vector<std::string>& argv,
                            const Environment& extra = {},
                            std::chrono::milliseconds timeout = std::chrono::seconds(60));

}  // namespace vexa::test
