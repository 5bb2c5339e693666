#pragma once
// Driving vexa_pkcs11_worker, the PKCS#11 application of the tests that put
// processes on tokens.
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "Process.h"

namespace vexa::test {

// The worker's command line: our module, the working directory "." and steps.
inline std::vector<std::string> worker(std::vector<std::string> steps)
{
    std::vector<std::string> argv{VEXA_PKCS11_WORKER, VEXA_PKCS11_MODULE, "."};
    argv.insert(argv.end(), steps.begin(), steps.end());
    return argv;
}

// Reads the worker's lines until step NAME ends: its result, or nullopt when
// it did not end in time.
inline std::optional<bool> stepResult(InteractiveProcess& process, const std::string& name,
                                      std::chrono::milliseconds wait)
{
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + wait;
    while (Clock::now() < end) {
        const auto line = process.readLine(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()));
        if (!line) {
            break;
        }
        if (*line == name + " ok" || *line == name + " failed") {
            return *line == name + " ok";
        }
    }
    return std::nullopt;
}

}  // namespace vexa::test
