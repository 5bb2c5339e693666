#include "Terminal.h"

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "ProcessEnvironment.h"

namespace vexa::test {

TerminalProgram::TerminalProgram(const std::vector<std::string>& argv, const std::string& dir,
                                 const std::vector<std::string>& environment)
{
    std::vector<std::string> args = argv;
    std::vector<std::string> env = environment;
    std::vector<char*> argp = sim::nullTerminated(args);
    std::vector<char*> envp = sim::nullTerminated(env);
    m_pid = ::forkpty(&m_master, nullptr, nullptr, nullptr);
    if (m_pid < 0) {
        throw std::runtime_error("forkpty failed");
    }
    if (m_pid == 0) {
        if (::chdir(dir.c_str()) == 0) {
            ::execve(argp[0], argp.data(), envp.data());
        }
        _exit(127);
    }
}

TerminalProgram::~TerminalProgram()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    if (m_master >= 0) {
        ::close(m_master);
    }
}

bool TerminalProgram::readSome(std::chrono::milliseconds timeout)
{
    pollfd ready{m_master, POLLIN, 0};
    if (::poll(&ready, 1, int(timeout.count())) <= 0) {
        return false;
    }
    char buffer[4096];
    const ssize_t n = ::read(m_master, buffer, sizeof buffer);
    if (n <= 0) {
        return false;  // EIO: the program and its terminal are gone
    }
    m_screen.append(buffer, size_t(n));
    return true;
}

bool TerminalProgram::waitFor(const std::string& text, std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (m_screen.find(text) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !readSome(left)) {
            return false;
        }
    }
    return true;
}

void TerminalProgram::type(const std::string& keys)
{
    if (::write(m_master, keys.data(), keys.size()) != ssize_t(keys.size())) {
        throw std::runtime_error("cannot type on the terminal");
    }
}

int TerminalProgram::wait(std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (!readSome(left)) {
            break;
        }
    }
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid) {
            m_pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() >= end) {
            return -1;
        }
        ::usleep(10 * 1000);
    }
}

}  // namespace vexa::test
