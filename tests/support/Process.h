#pragma once
#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace vexa::test {

using Environment = std::vector<std::pair<std::string, std::string>>;

struct RunResult {
    // Exit code; 128 + signal when killed; -1 when it did not finish in time
    // (it is then killed) or could not be started.
    int status = -1;
    std::string output;  // standard output and standard error, interleaved
};

// Runs argv[0] (searched in PATH) with this process's environment plus
// `extra` (replacing variables of the same name), standard input from
// /dev/null, and waits for it.
RunResult runProgram(const std::vector<std::string>& argv, const Environment& extra = {},
                     std::chrono::milliseconds timeout = std::chrono::seconds(60));

// This process's environment with `extra` applied, as NAME=value strings.
// Variables set to an empty value in `extra` are removed.
std::vector<std::string> mergedEnvironment(const Environment& extra);

}  // namespace vexa::test
