#include "RealDaemon.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "ProcessEnvironment.h"

namespace vexa::test {
namespace {

using namespace std::chrono_literals;

template <typename Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// A port that was free a moment ago; the daemon binds it right after.
int freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("no free port");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

bool accepts(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

bool acceptsUnix(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

// A socket file appears at bind, a moment before the daemon listens on it.
size_t listeningSockets(const std::string& dir)
{
    size_t count = 0;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* entry = ::readdir(d)) {
            count += entry->d_type == DT_SOCK && acceptsUnix(dir + "/" + entry->d_name) ? 1 : 0;
        }
        ::closedir(d);
    }
    return count;
}

}  // namespace

RealDaemon::RealDaemon(const std::vector<std::string>& simArgs) : m_simulator(std::make_unique<TokenSimulator>(simArgs))
{}

RealDaemon::~RealDaemon()
{
    stopDaemon();
    m_simulator.reset();
}

void RealDaemon::stopDaemon()
{
    if (m_daemon > 0) {
        ::kill(m_daemon, SIGKILL);
        ::waitpid(m_daemon, nullptr, 0);
        m_daemon = -1;
    }
}

void RealDaemon::stop()
{
    if (m_daemon <= 0) {
        return;
    }
    ::kill(m_daemon, SIGTERM);
    const bool ended = waitUntil([&] { return ::waitpid(m_daemon, nullptr, WNOHANG) == m_daemon; }, 10s);
    if (!ended) {
        stopDaemon();
    }
    m_daemon = -1;
}

void RealDaemon::startAgain()
{
    stop();
    start(m_arguments);
    if (!m_socketDir.empty() && !waitUntil([&] { return listeningSockets(m_socketDir) >= m_tokenCount; }, 10s)) {
        throw std::runtime_error("vexa-daemon did not serve the tokens again: " + output());
    }
}

// Standard output and error go to one file that output() reads; a daemon
// started again appends to it.
void RealDaemon::start(const std::vector<std::string>& arguments)
{
    m_arguments = arguments;
    std::vector<std::string> argv{VEXA_DAEMON_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<std::string> env = mergedEnvironment(m_simulator->environment());
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, m_dir.file("output").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int failed = posix_spawn(&m_daemon, argv[0].c_str(), &actions, nullptr, sim::nullTerminated(argv).data(),
                                   sim::nullTerminated(env).data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
        m_daemon = -1;
        throw std::runtime_error("cannot start " + argv[0]);
    }
}

std::string RealDaemon::output() const
{
    std::ifstream file(m_dir.file("output"));
    return std::string(std::istreambuf_iterator<char>(file), {});
}

std::unique_ptr<RealDaemon> RealDaemon::tls(const std::vector<std::string>& simArgs, const std::string& certFile,
                                            const std::string& keyFile, const std::string& caFile,
                                            const std::vector<std::string>& extraArgs)
{
    std::unique_ptr<RealDaemon> daemon(new RealDaemon(simArgs));
    daemon->m_port = freePort();
    std::vector<std::string> args{"-t",   "tls",    "-i",   "127.0.0.1", "-p",  std::to_string(daemon->m_port),
                                  "-crt", certFile, "-key", keyFile,     "-ca", caFile};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    daemon->start(args);
    if (!waitUntil([&] { return accepts(daemon->m_port); }, 10s)) {
        throw std::runtime_error("vexa-daemon did not listen: " + daemon->output());
    }
    return daemon;
}

std::unique_ptr<RealDaemon> RealDaemon::unix(const std::vector<std::string>& simArgs, const std::string& socketDir,
                                             size_t tokenCount, const std::vector<std::string>& daemonArgs)
{
    std::unique_ptr<RealDaemon> daemon(new RealDaemon(simArgs));
    std::vector<std::string> arguments{"-t", "unix", "-sd", socketDir};
    arguments.insert(arguments.end(), daemonArgs.begin(), daemonArgs.end());
    daemon->m_socketDir = socketDir;
    daemon->m_tokenCount = tokenCount;
    daemon->start(arguments);
    if (!waitUntil([&] { return listeningSockets(socketDir) >= tokenCount; }, 10s)) {
        throw std::runtime_error("vexa-daemon did not serve the tokens: " + daemon->output());
    }
    return daemon;
}

}  // namespace vexa::test
