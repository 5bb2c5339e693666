#include "Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

}  // namespace vexa::test
