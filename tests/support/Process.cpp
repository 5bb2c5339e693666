#include "Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "ProcessEnvironment.h"

namespace vexa::test {
namespace {

int statusOf(int raw)
{
    if (WIFEXITED(raw)) {
        return WEXITSTATUS(raw);
    }
    if (WIFSIGNALED(raw)) {
        return 128 + WTERMSIG(raw);
    }
    return -1;
}

}  // namespace

std::vector<std::string> mergedEnvironment(const Environment& extra) { return sim::mergedEnvironment(extra); }

RunResult runProgram(const std::vector<std::string>& argv, const Environment& extra, std::chrono::milliseconds timeout)
{
    RunResult result;
    int out[2];
    if (argv.empty() || ::pipe2(out, O_CLOEXEC) < 0) {
        result.output = "cannot start: " + std::string(argv.empty() ? "no program" : std::strerror(errno));
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
    std::vector<std::string> args = argv;
    std::vector<std::string> env = mergedEnvironment(extra);
    pid_t pid = -1;
    const int spawned = ::posix_spawnp(&pid, args[0].c_str(), &actions, nullptr, sim::nullTerminated(args).data(),
                                       sim::nullTerminated(env).data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (spawned != 0) {
        ::close(out[0]);
        result.output = "cannot start " + args[0] + ": " + std::strerror(spawned);
        return result;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool timedOut = false;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd pfd{out[0], POLLIN, 0};
        const int ready = left.count() > 0 ? ::poll(&pfd, 1, int(left.count())) : 0;
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            timedOut = true;
            ::kill(pid, SIGKILL);
            break;
        }
        char chunk[4096];
        const ssize_t n = ::read(out[0], chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        result.output.append(chunk, size_t(n));
    }
    ::close(out[0]);
    int raw = 0;
    while (::waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
    }
    result.status = timedOut ? -1 : statusOf(raw);
    if (timedOut) {
        result.output += "\n[killed after " + std::to_string(timeout.count()) + " ms]\n";
    }
    return result;
}

PipedChild spawnPiped(std::vector<std::string> argv, std::vector<std::string> env, bool mergeErrors)
{
    int in[2];
    int out[2];
    if (argv.empty() || ::pipe2(in, O_CLOEXEC) < 0) {
        throw std::runtime_error("cannot start: no program or no pipe");
    }
    if (::pipe2(out, O_CLOEXEC) < 0) {
        ::close(in[0]);
        ::close(in[1]);
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    if (mergeErrors) {
        posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
    }
    PipedChild child{-1, in[1], out[0]};
    const int spawned = ::posix_spawnp(&child.pid, argv[0].c_str(), &actions, nullptr, sim::nullTerminated(argv).data(),
                                       sim::nullTerminated(env).data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    if (spawned != 0) {
        ::close(child.input);
        ::close(child.output);
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(spawned));
    }
    return child;
}

InteractiveProcess::InteractiveProcess(const std::vector<std::string>& argv, const Environment& extra)
{
    const PipedChild child = spawnPiped(argv, mergedEnvironment(extra), true);
    m_pid = child.pid;
    m_input = child.input;
    m_output = child.output;
}

InteractiveProcess::~InteractiveProcess()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        while (::waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    if (m_input >= 0) {
        ::close(m_input);
    }
    if (m_output >= 0) {
        ::close(m_output);
    }
}

bool InteractiveProcess::writeLine(const std::string& line)
{
    const std::string text = line + "\n";
    size_t written = 0;
    while (m_input >= 0 && written < text.size()) {
        const ssize_t n = ::write(m_input, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        written += static_cast<size_t>(n);
    }
    return written == text.size();
}

std::optional<std::string> InteractiveProcess::readLine(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const size_t end = m_pending.find('\n');
        if (end != std::string::npos) {
            std::string line = m_pending.substr(0, end);
            m_pending.erase(0, end + 1);
            return line;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd pfd{m_output, POLLIN, 0};
        const int ready = left.count() > 0 && m_output >= 0 ? ::poll(&pfd, 1, int(left.count())) : 0;
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return std::nullopt;
        }
        char chunk[4096];
        const ssize_t n = ::read(m_output, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return std::nullopt;
        }
        m_pending.append(chunk, size_t(n));
        m_transcript.append(chunk, size_t(n));
    }
}

std::optional<std::string> InteractiveProcess::readUntil(const std::string& prefix, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        std::optional<std::string> line = readLine(std::max(left, std::chrono::milliseconds(0)));
        if (!line || line->compare(0, prefix.size(), prefix) == 0) {
            return line;
        }
    }
}

RunResult InteractiveProcess::finish(std::chrono::milliseconds timeout)
{
    if (m_input >= 0) {
        ::close(m_input);
        m_input = -1;
    }
    while (readLine(timeout)) {
    }
    RunResult result;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int raw = 0;
    for (;;) {
        const pid_t done = ::waitpid(m_pid, &raw, WNOHANG);
        if (done == m_pid) {
            result.status = statusOf(raw);
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
            m_transcript += "\n[killed after " + std::to_string(timeout.count()) + " ms]\n";
            break;
        }
        pollfd none{-1, 0, 0};
        ::poll(&none, 0, 5);
    }
    m_pid = -1;
    m_pending.clear();
    result.output = m_transcript;
    return result;
}

}  // namespace vexa::test
