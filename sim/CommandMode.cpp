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

pid_t start(std::vector<std::string> command, std::vector<std::string> env) {
    std::vector<char*> argv = nullTerminated(command);
    std::vector<char*> envp = nullTerminated(env);
    const pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    sigset_t none;
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    ::execvpe(argv[0], argv.data(), envp.data());
    std::fprintf(stderr, "vexa-token-sim: cannot run %s: %s\n", argv[0], std::strerror(errno));
    _exit(127);
}

int exitStatus(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return 1;
}

int waitForChild(pid_t pid) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGCHLD);
    const int fd = signalfd(-1, &set, SFD_CLOEXEC);
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            ::close(fd);
            return exitStatus(status);
        }
        if (done < 0 && errno != EINTR) {
            ::close(fd);
            return 1;
        }
        signalfd_siginfo info{};
        const ssize_t n = ::read(fd, &info, sizeof info);
        if (n == ssize_t(sizeof info) && (info.ssi_signo == SIGINT || info.ssi_signo == SIGTERM))
            ::kill(pid, int(info.ssi_signo));
    }
}

}  // namespace

int runCommandMode(Simulator& simulator, const std::vector<std::string>& command) {
    ControlSocket control(simulator.rootDir() + "/control",
                          [&simulator](const std::string& line) { return runControlLine(simulator, line); });
    auto extra = clientEnvironment(simulator);
    extra.emplace_back(kControlVariable, control.path());
    const pid_t pid = start(command, mergedEnvironment(extra));
    if (pid < 0) {
        std::perror("vexa-token-sim: fork");
        return 1;
    }
    return waitForChild(pid);
}

}  // namespace vexa::sim
