#include "TokenSimulator.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace vexa::test {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kStartTimeout{15000};
constexpr milliseconds kAnswerTimeout{10000};
constexpr milliseconds kStopTimeout{10000};

// The preload goes in front of the sanitizer runtime; let ASan accept that.
std::string asanOptions()
{
    const char* current = std::getenv("ASAN_OPTIONS");
    std::string options = current ? current : "";
    if (options.find("verify_asan_link_order") == std::string::npos) {
        options += std::string(options.empty() ? "" : ":") + "verify_asan_link_order=0";
    }
    return options;
}

bool waitExited(pid_t pid, milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno == ECHILD)) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
}

// The simulator must not inherit a preload from a test that itself runs
// under one: it would then look at that testbed instead of its own.
Environment withoutPreload() { return {{"LD_PRELOAD", ""}, {"UMOCKDEV_DIR", ""}, {"VEXA_SIM_CONTROL", ""}}; }

}  // namespace

std::string simulatorPath()
{
    const char* path = std::getenv("VEXA_TOKEN_SIM");
    return path && *path ? path : VEXA_TOKEN_SIM_PATH;
}

std::string sanitizerPreload() { return VEXA_TEST_SANITIZER_PRELOAD; }

TokenSimulator::TokenSimulator(const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {simulatorPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    const PipedChild child = spawnPiped(argv, mergedEnvironment(withoutPreload()), false);
    m_pid = child.pid;
    m_toSim = child.input;
    m_fromSim = child.output;
    try {
        while (variable("LD_PRELOAD").empty() || variable("UMOCKDEV_DIR").empty()) {
            const std::string line = readLine(kStartTimeout);
            const size_t eq = line.find('=');
            if (eq == std::string::npos) {
                throw std::runtime_error("unexpected line from vexa-token-sim: " + line);
            }
            m_printed.emplace_back(line.substr(0, eq), line.substr(eq + 1));
        }
    } catch (...) {
        stop();
        throw;
    }
}

TokenSimulator::~TokenSimulator() { stop(); }

std::string TokenSimulator::variable(const std::string& name) const
{
    for (const auto& [key, value] : m_printed) {
        if (key == name) {
            return value;
        }
    }
    return "";
}

Environment TokenSimulator::environment() const
{
    Environment env = m_printed;
    env.emplace_back("ASAN_OPTIONS", asanOptions());
    return env;
}

std::string TokenSimulator::readLine(milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const size_t newline = m_pending.find('\n');
        if (newline != std::string::npos) {
            std::string line = m_pending.substr(0, newline);
            m_pending.erase(0, newline + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd pfd{m_fromSim, POLLIN, 0};
        const int ready = left.count() > 0 ? ::poll(&pfd, 1, int(left.count())) : 0;
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            throw std::runtime_error("vexa-token-sim did not answer in time");
        }
        char chunk[512];
        const ssize_t n = ::read(m_fromSim, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw std::runtime_error("vexa-token-sim has exited");
        }
        m_pending.append(chunk, size_t(n));
    }
}

std::string TokenSimulator::control(const std::string& line)
{
    std::lock_guard<std::mutex> lock(m_controlMutex);
    if (m_toSim < 0) {
        throw std::runtime_error("vexa-token-sim is stopped");
    }
    const std::string text = line + "\n";
    if (::write(m_toSim, text.data(), text.size()) != ssize_t(text.size())) {
        throw std::runtime_error(std::string("cannot write to vexa-token-sim: ") + std::strerror(errno));
    }
    return readLine(kAnswerTimeout);
}

RunResult TokenSimulator::run(const std::vector<std::string>& argv, const Environment& extra, milliseconds timeout)
{
    // A variable in `extra` replaces the simulator's own: of two entries with
    // one name, a program would see only the first.
    Environment env;
    for (const auto& entry : environment()) {
        const bool replaced =
            std::any_of(extra.begin(), extra.end(), [&](const auto& change) { return change.first == entry.first; });
        if (!replaced) {
            env.push_back(entry);
        }
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return runProgram(argv, env, timeout);
}

void TokenSimulator::stop()
{
    std::lock_guard<std::mutex> lock(m_controlMutex);
    if (m_toSim >= 0) {
        ::close(m_toSim);
    }
    m_toSim = -1;
    if (m_pid > 0 && !waitExited(m_pid, kStopTimeout)) {
        ::kill(m_pid, SIGTERM);
        if (!waitExited(m_pid, kStopTimeout)) {
            ::kill(m_pid, SIGKILL);
            waitExited(m_pid, kStopTimeout);
        }
    }
    m_pid = -1;
    if (m_fromSim >= 0) {
        ::close(m_fromSim);
    }
    m_fromSim = -1;
}

std::string controlFromInside(const std::string& line)
{
    const char* path = std::getenv("VEXA_SIM_CONTROL");
    if (!path || !*path) {
        throw std::runtime_error("VEXA_SIM_CONTROL is not set: not running under vexa-token-sim");
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof address.sun_path) {
        throw std::runtime_error(std::string("control socket path too long: ") + path);
    }
    std::strcpy(address.sun_path, path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
        const std::string reason = std::strerror(errno);
        if (fd >= 0) {
            ::close(fd);
        }
        throw std::runtime_error(std::string("cannot connect to ") + path + ": " + reason);
    }
    const std::string text = line + "\n";
    std::string answer;
    if (::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == ssize_t(text.size())) {
        char c;
        while (::recv(fd, &c, 1, 0) == 1 && c != '\n') {
            answer += c;
        }
    }
    ::close(fd);
    if (answer.empty()) {
        throw std::runtime_error("no answer on the control socket");
    }
    return answer;
}

RunResult runUnderSimulator(const std::vector<std::string>& simArgs, const std::vector<std::string>& argv,
                            const Environment& extra, milliseconds timeout)
{
    std::vector<std::string> command = {simulatorPath()};
    command.insert(command.end(), simArgs.begin(), simArgs.end());
    command.push_back("--");
    command.insert(command.end(), argv.begin(), argv.end());
    Environment env = withoutPreload();
    env.emplace_back("ASAN_OPTIONS", asanOptions());
    env.insert(env.end(), extra.begin(), extra.end());
    return runProgram(command, env, timeout);
}

}  // namespace vexa::test
