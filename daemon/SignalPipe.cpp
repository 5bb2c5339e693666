#include "SignalPipe.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace vexa::daemon {
namespace {

int g_pipe[2] = {-1, -1};

void OnSignal(int number)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    (void)!write(g_pipe[1], &byte, 1);
    errno = savedErrno;
}

void Handle(int number, void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(number, &action, nullptr);
}

}  // namespace

CSignalPipe::CSignalPipe()
{
    if (pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::runtime_error("cannot create the signal pipe");
    }
    Handle(SIGINT, OnSignal);
    Handle(SIGTERM, OnSignal);
    Handle(SIGPIPE, SIG_IGN);
}

CSignalPipe::~CSignalPipe()
{
    Handle(SIGINT, SIG_DFL);
    Handle(SIGTERM, SIG_DFL);
    close(g_pipe[0]);
    close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}

int CSignalPipe::wait(std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        pollfd ready{g_pipe[0], POLLIN, 0};
        const int polled = poll(&ready, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
        if (polled > 0) {
            unsigned char byte = 0;
            if (read(g_pipe[0], &byte, 1) == 1) {
                return byte;
            }
        }
        if (polled == 0 || std::chrono::steady_clock::now() >= end) {
            return 0;
        }
    }
}

}  // namespace vexa::daemon
