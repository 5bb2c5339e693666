#pragma once
#include <sys/types.h>

#include <chrono>
#include <optional>
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

// A program that runs beside the test, reading lines the test writes to its
// standard input; its standard output and error come back as lines.
//
//   InteractiveProcess worker({"prog", "-"}, env);
//   worker.writeLine("step");
//   std::string line = worker.readLine(5s);    // "" after the time-out or at the end
//   RunResult r = worker.finish(10s);          // closes its input, waits, collects
class InteractiveProcess {
public:
    // Throws std::runtime_error when the program cannot be started.
    InteractiveProcess(const std::vector<std::string>& argv, const Environment& extra = {});
    ~InteractiveProcess();
    InteractiveProcess(const InteractiveProcess&) = delete;
    InteractiveProcess& operator=(const InteractiveProcess&) = delete;

    bool writeLine(const std::string& line);
    // The next line without its newline; nullopt when none came in time or
    // the program closed its output.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    // Reads lines until one starts with prefix; that line, or nullopt.
    std::optional<std::string> readUntil(const std::string& prefix, std::chrono::milliseconds timeout);
    // Everything read so far, every line.
    const std::string& transcript() const { return m_transcript; }
    // For signals (SIGSTOP, SIGCONT) the test sends it.
    pid_t pid() const { return m_pid; }
    // Closes its input and waits for it to end (killing it after timeout);
    // the status and the whole transcript.
    RunResult finish(std::chrono::milliseconds timeout);

private:
    pid_t m_pid = -1;
    int m_input = -1;
    int m_output = -1;
    std::string m_pending;
    std::string m_transcript;
};

// This process's environment with `extra` applied, as NAME=value strings.
// Variables set to an empty value in `extra` are removed.
std::vector<std::string> mergedEnvironment(const Environment& extra);

// A started program whose standard input and output are pipes of ours.
struct PipedChild {
    pid_t pid;
    int input;   // its standard input; ours to write and close
    int output;  // its standard output (and error when merged); ours to read and close
};

// Starts argv[0] (searched in PATH when it has no slash) with exactly env
// (NAME=value strings). Its standard error goes to the output pipe when
// mergeErrors, else stays ours. Throws std::runtime_error when it cannot
// start; nothing is left open then.
PipedChild spawnPiped(std::vector<std::string> argv, std::vector<std::string> env, bool mergeErrors);

}  // namespace vexa::test
