#pragma once
// Helpers for the daemon's tests: private temporary directories and child
// processes whose output goes to files that a test can poll.
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace vexa::daemon::test {

// A directory made with mkdtemp, removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

void WriteFile(const std::string& path, const std::string& content, unsigned mode = 0644);
std::string ReadFile(const std::string& path);

struct ProcessOptions {
    std::string cwd;                      // empty: the test's own
    std::vector<std::string> environment; // NAME=value entries added to (or replacing in) the test's environment
    std::string stdinPath = "/dev/null";
};

// A child process whose standard output and error go to files in its own
// temporary directory. The destructor kills and reaps it if it still runs.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return m_pid; }
    std::string out() const;
    std::string err() const;
    // Polls the output (stdout and stderr) until it contains text; false on timeout.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout) const;
    void signal(int number) const;
    // Exit status, 128 + signal number for a killed child, -1 on timeout.
    int wait(std::chrono::milliseconds timeout);
    bool running();

private:
    TempDir m_dir;
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
        if (std::chrono::steady_clock::now() >= end)
            return false;
        struct timespec pause = {0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    return true;
}

}  // namespace vexa::daemon::test
