#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "ControlLine.h"
#include "LineBuffer.h"
#include "Modes.h"
#include "Simulator.h"

namespace vexa::sim {
namespace {

int stopSignalFd()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return signalfd(-1, &set, SFD_CLOEXEC);
}

void answer(CSimulator& simulator, const std::vector<std::string>& lines)
{
    for (const std::string& line : lines) {
        std::printf("%s\n", runControlLine(simulator, line).c_str());
    }
    std::fflush(stdout);
}

}  // namespace

int runServeMode(CSimulator& simulator)
{
    for (const auto& [name, value] : clientEnvironment(simulator)) {
        std::printf("%s=%s\n", name.c_str(), value.c_str());
    }
    std::fflush(stdout);

    const int signals = stopSignalFd();
    if (signals < 0) {
        std::perror("vexa-token-sim: signalfd");
        return 1;
    }
    CLineBuffer input;
    for (;;) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {signals, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (fds[1].revents) {
            break;
        }
        char chunk[512];
        const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            answer(simulator, input.finish());
            break;
        }
        answer(simulator, input.feed(chunk, size_t(n)));
    }
    ::close(signals);
    return 0;
}

}  // namespace vexa::sim
