#pragma once
// Child processes for the daemon's tests, with standard output and standard
// error kept apart in files that a test can poll while the child runs.
#include <sys/types.h>
#include <time.h>

#include <chrono>
#include <string>
#include <vector>

#include "Process.h"
#include "TempDir.h"

namespace vexa::daemon::test {

using vexa::test::Environment;
using vexa::test::TempDir;

void WriteFile(const std::string& path, const std::string& content, unsigned mode = 0644);
std::string ReadFile(const std::string& path);

struct ProcessOptions {
    std::string cwd;          // empty: the test's own
    Environment environment;  // added to (or replacing in) the test's environment
};

// A child process, standard input from /dev/null. The destructor kills and
// reaps it if it still runs.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return m_pid; }
    std::string out() const;
    std::string err() const;
    // Polls both outputs until one contains text; false on timeout.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout) const;
    void signal(int number);
    // Exit status, 128 + signal number for a killed child, -1 on timeout.
    int wait(std::chrono::milliseconds timeout);
    bool running();

private:
    TempDir m_dir{"vexa-daemon-child"};
    pid_t m_pid = -1;
    int m_status = -1;
};

struct ProcessResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs a program to its end (killed after the timeout) and collects its output.
ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {},
                         std::chrono::milliseconds timeout = std::chrono::seconds(20));

// Lines of text that contain needle, in order.
std::vector<std::string> LinesContaining(const std::string& text, const std::string& needle);

// Polls condition every 10 ms until it holds or the timeout passes.
template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        struct timespec pause = {0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    return true;
}

}  // namespace vexa::daemon::test
