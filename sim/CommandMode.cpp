#include <signal.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ControlLine.h"
#include "ControlSocket.h"
#include "Modes.h"
#include "ProcessEnvironment.h"
#include "Simulator.h"

namespace vexa::sim {
namespace {

pid_t start(std::vector<std::string> command, std::vector<std::string> env)
{
    std::vector<char*> argv = nullTerminated(command);
    std::vector<char*> envp = nullTerminated(env);
    const pid_t pid = ::fork();
    if (pid != 0) {
        return pid;
    }
    sigset_t none;
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    ::execvpe(argv[0], argv.data(), envp.data());
    std::fprintf(stderr, "vexa-token-sim: cannot run %s: %s\n", argv[0], std::strerror(errno));
    _exit(127);
}

int exitStatus(int status)
{
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return 1;
}

int childSignalFd()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGCHLD);
    return signalfd(-1, &set, SFD_CLOEXEC);
}

// `signals` wakes the wait when the child ends and carries the stop signals
// that are passed on to it.
int waitForChild(pid_t pid, int signals)
{
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return exitStatus(status);
        }
        if (done < 0 && errno != EINTR) {
            return 1;
        }
        signalfd_siginfo info{};
        const ssize_t n = ::read(signals, &info, sizeof info);
        if (n == ssize_t(sizeof info) && (info.ssi_signo == SIGINT || info.ssi_signo == SIGTERM)) {
            ::kill(pid, int(info.ssi_signo));
        }
    }
}

}  // namespace

int runCommandMode(CSimulator& simulator, const std::vector<std::string>& command)
{
    CControlSocket control(simulator.rootDir() + "/control",
                           [&simulator](const std::string& line) { return runControlLine(simulator, line); });
    // Without it the wait could neither notice the child's end nor pass
    // signals on; better not to start the command at all.
    const int signals = childSignalFd();
    if (signals < 0) {
        std::perror("vexa-token-sim: signalfd");
        return 1;
    }
    auto extra = clientEnvironment(simulator);
    extra.emplace_back(kControlVariable, control.path());
    const pid_t pid = start(command, mergedEnvironment(extra));
    if (pid < 0) {
        std::perror("vexa-token-sim: fork");
    }
    const int status = pid < 0 ? 1 : waitForChild(pid, signals);
    ::close(signals);
    return status;
}

}  // namespace vexa::sim
