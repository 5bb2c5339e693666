// vexa-bench-daemon: throughput, latency, CPU time and memory of vexa-daemon
// serving one simulated token (echo firmware) on its Unix socket, and the
// allocations of the connection loop per request. Not a test: prints figures.
//
//   vexa-bench-daemon [--usb-timing] [--seconds N]
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "AllocationCounter.h"
#include "SocketClient.h"
#include "TestProcess.h"
#include "TokenSimulator.h"
#include "UnixClient.h"

namespace {

using namespace vexa::daemon;
using namespace vexa::daemon::test;
using Clock = std::chrono::steady_clock;

constexpr size_t kRequestSize = 64;
const std::string kSerial = "0000000000B1";

// utime + stime of a process, in seconds.
double CpuSeconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) {
            utime = std::stoull(field);
        }
        if (i == 15) {
            stime = std::stoull(field);
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long ResidentKiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return -1;
}

// One request and its reply with fixed buffers; false on any failure.
bool Exchange(int fd, uint8_t (&packet)[5 + kRequestSize], uint8_t (&reply)[kRequestSize])
{
    if (send(fd, packet, sizeof packet, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof packet)) {
        return false;
    }
    size_t got = 0;
    while (got < sizeof reply) {
        const ssize_t n = recv(fd, reply + got, sizeof reply - got, 0);
        if (n <= 0) {
            return false;
        }
        got += static_cast<size_t>(n);
    }
    return true;
}

struct LoadResult {
    long requests = 0;
    long failures = 0;
    double seconds = 0;
    double medianMs = 0;
};

LoadResult RunLoad(const std::string& socket, int clients, double seconds)
{
    std::vector<std::vector<double>> latencies(static_cast<size_t>(clients));
    std::atomic<long> failures{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            SocketClient client = SocketClient::ConnectUnix(socket);
            auto& mine = latencies[static_cast<size_t>(c)];
            mine.reserve(100000);
            uint8_t packet[5 + kRequestSize] = {kRequestSize, 0, 0, 0, 0};
            uint8_t reply[kRequestSize];
            for (size_t i = 0; i < kRequestSize; ++i) {
                packet[5 + i] = static_cast<uint8_t>(c + i);
            }
            while (!stop && mine.size() < 100000) {
                const auto sent = Clock::now();
                if (client.fd() < 0 || !Exchange(client.fd(), packet, reply) || reply[0] != packet[4 + kRequestSize]) {
                    ++failures;
                    return;
                }
                mine.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (auto& thread : threads) {
        thread.join();
    }
    LoadResult result;
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::vector<double> all;
    for (const auto& mine : latencies) {
        all.insert(all.end(), mine.begin(), mine.end());
    }
    result.requests = static_cast<long>(all.size());
    result.failures = failures;
    if (!all.empty()) {
        std::nth_element(all.begin(), all.begin() + static_cast<long>(all.size() / 2), all.end());
        result.medianMs = all[all.size() / 2];
    }
    return result;
}

// Answers with the request reversed, from a fixed buffer: it allocates
// nothing, so whatever is counted is the daemon's.
class StaticEchoTransport : public corvel::CTransport {
public:
    bool isOpen() override { return true; }
    uint32_t getTimeout() override { return 0; }
    const char* getName() override { return "ECHO"; }
    size_t write(const std::vector<uint8_t>& data) override { return write(data.data(), data.size()); }
    size_t write(const uint8_t* data, size_t length) override
    {
        m_length = std::min(length, m_reply.size());
        std::reverse_copy(data, data + m_length, m_reply.begin());
        return length;
    }
    size_t read(uint8_t* buffer, size_t capacity) override
    {
        const size_t count = std::min(capacity, m_length);
        std::copy(m_reply.begin(), m_reply.begin() + static_cast<long>(count), buffer);
        m_length = 0;
        return count;
    }

private:
    std::array<uint8_t, kMaxMessage> m_reply{};
    size_t m_length = 0;
};

// Allocations the connection loop and the port make per request, measured
// in this process with a fake token: the difference between a long and a
// short connection, so the connection's own start and end cancel out.
double AllocationsPerRequest()
{
    auto serve = [](int requests) {
        CThreadSafeUSBPort port("BENCH", std::make_unique<StaticEchoTransport>());
        int fds[2];
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
        long allocations = 0;
        std::thread server([&] {
            allocation::startCounting();
            HandleUnixClient(fds[1], &port);
            allocations = static_cast<long>(allocation::stopCounting());
        });
        uint8_t packet[5 + kRequestSize] = {kRequestSize, 0, 0, 0, 0};
        uint8_t reply[kRequestSize];
        for (int i = 0; i < requests; ++i) {
            Exchange(fds[0], packet, reply);
        }
        close(fds[0]);
        server.join();
        return allocations;
    };
    std::fflush(stdout);
    const int savedOut = dup(1);  // the loop's closing log line is not a figure
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    const long shortRun = serve(10);
    const long longRun = serve(1010);
    std::fflush(stdout);
    dup2(savedOut, 1);
    close(savedOut);
    close(null);
    return static_cast<double>(longRun - shortRun) / 1000.0;
}

}  // namespace

int main(int argc, char** argv)
{
    bool usbTiming = false;
    double seconds = 2.0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--usb-timing") == 0) {
            usbTiming = true;
        } else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = std::max(0.2, std::min(30.0, std::atof(argv[++i])));
        } else {
            std::fprintf(stderr, "usage: vexa-bench-daemon [--usb-timing] [--seconds N]\n");
            return 2;
        }
    }

    std::vector<std::string> simArgs = {"--firmware", "echo", "--token", kSerial};
    if (usbTiming) {
        simArgs.push_back("--usb-timing");
    }
    vexa::test::TokenSimulator sim(simArgs);
    TempDir sockets{"vexa-bench-daemon"};
    ProcessOptions options;
    options.environment = sim.environment();
    ChildProcess daemon({VEXA_DAEMON_PATH, "-t", "unix", "-sd", sockets.path()}, options);
    const std::string socket = sockets.file("vexa." + kSerial + ".sock");
    if (!WaitUntil([&] { return access(socket.c_str(), F_OK) == 0; }, std::chrono::seconds(10))) {
        std::fprintf(stderr, "the daemon did not serve the token:\n%s", daemon.err().c_str());
        return 1;
    }

    std::printf("vexa-daemon, one simulated token (echo firmware%s), %zu-byte requests, %.1f s per run\n",
                usbTiming ? ", USB timing" : "", kRequestSize, seconds);
    std::printf("%8s %12s %12s %14s %9s\n", "clients", "requests/s", "median ms", "daemon CPU us", "failures");
    for (int clients : {1, 8, 64}) {
        const double cpuBefore = CpuSeconds(daemon.pid());
        const LoadResult load = RunLoad(socket, clients, seconds);
        const double cpu = CpuSeconds(daemon.pid()) - cpuBefore;
        std::printf("%8d %12.0f %12.3f %14.1f %9ld\n", clients, static_cast<double>(load.requests) / load.seconds,
                    load.medianMs, load.requests > 0 ? cpu * 1e6 / static_cast<double>(load.requests) : 0.0,
                    load.failures);
    }
    std::printf("(daemon CPU us: the daemon's user + system time per request, clock ticks of %ld Hz)\n",
                sysconf(_SC_CLK_TCK));

    const long idleBefore = ResidentKiB(daemon.pid());
    std::vector<SocketClient> idle;
    for (int i = 0; i < 100; ++i) {
        idle.push_back(SocketClient::ConnectUnix(socket));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long idleAfter = ResidentKiB(daemon.pid());
    std::printf("daemon resident memory: %ld KiB, with 100 idle connections %ld KiB (%.1f KiB each)\n", idleBefore,
                idleAfter, static_cast<double>(idleAfter - idleBefore) / 100.0);
    idle.clear();

    std::printf("allocations per request in the connection loop and port: %.2f\n", AllocationsPerRequest());

    daemon.signal(SIGTERM);
    daemon.wait(std::chrono::seconds(10));
    return 0;
}
