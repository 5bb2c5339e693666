// vexa-bench-daemon: throughput, latency, CPU time and memory of vexa-daemon
// serving one simulated token (echo firmware) on its Unix socket, the same
// token served over TLS beside it, and the allocations of the connection
// loop per request. Not a test: prints figures.
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
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <thread>

#include "AllocationCounter.h"
#include "SocketClient.h"
#include "TestProcess.h"
#include "TlsTestClient.h"
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

// One connected client of the load: a request of kRequestSize bytes and its
// reply.
class LoadClient {
public:
    virtual ~LoadClient() = default;
    virtual bool connected() const = 0;
    virtual bool exchange(uint8_t (&packet)[5 + kRequestSize], uint8_t (&reply)[kRequestSize]) = 0;
};

class UnixLoadClient : public LoadClient {
public:
    explicit UnixLoadClient(const std::string& socket) : m_client(SocketClient::ConnectUnix(socket)) {}
    bool connected() const override { return m_client.fd() >= 0; }
    bool exchange(uint8_t (&packet)[5 + kRequestSize], uint8_t (&reply)[kRequestSize]) override
    {
        return Exchange(m_client.fd(), packet, reply);
    }

private:
    SocketClient m_client;
};

class TlsLoadClient : public LoadClient {
public:
    explicit TlsLoadClient(const std::string& port) : m_client(Certificates().caFile())
    {
        m_connected = m_client.connect(port) && m_client.handshake(std::chrono::seconds(30)) == 0;
    }
    bool connected() const override { return m_connected; }
    bool exchange(uint8_t (&packet)[5 + kRequestSize], uint8_t (&reply)[kRequestSize]) override
    {
        if (!m_client.send(Bytes(packet, packet + sizeof packet))) {
            return false;
        }
        const Bytes got = m_client.receive(kRequestSize);
        std::copy(got.begin(), got.end(), reply);
        return got.size() == kRequestSize;
    }

private:
    TlsTestClient m_client;
    bool m_connected = false;
};

using ClientFactory = std::function<std::unique_ptr<LoadClient>()>;

struct LoadResult {
    long requests = 0;
    long failures = 0;
    double seconds = 0;
    double medianMs = 0;
};

// All clients connect first (a TLS handshake is not a request), then each
// sends requests one after the other for the given time.
LoadResult RunLoad(const ClientFactory& connect, int clients, double seconds)
{
    std::vector<std::unique_ptr<LoadClient>> connections(static_cast<size_t>(clients));
    std::vector<std::thread> threads;
    for (auto& connection : connections) {
        threads.emplace_back([&] { connection = connect(); });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    threads.clear();
    std::vector<std::vector<double>> latencies(static_cast<size_t>(clients));
    std::atomic<long> failures{0};
    std::atomic<bool> stop{false};
    const auto start = Clock::now();
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            LoadClient& client = *connections[static_cast<size_t>(c)];
            auto& mine = latencies[static_cast<size_t>(c)];
            mine.reserve(100000);
            uint8_t packet[5 + kRequestSize] = {kRequestSize, 0, 0, 0, 0};
            uint8_t reply[kRequestSize];
            for (size_t i = 0; i < kRequestSize; ++i) {
                packet[5 + i] = static_cast<uint8_t>(c + i);
            }
            while (!stop && mine.size() < 100000) {
                const auto sent = Clock::now();
                if (!client.connected() || !client.exchange(packet, reply) || reply[0] != packet[4 + kRequestSize]) {
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

double PerSecond(const LoadResult& load) { return static_cast<double>(load.requests) / load.seconds; }

// The daemon serving the simulator's token over TLS on 127.0.0.1; the port
// it listens on, or "" when it did not start.
std::string StartTlsDaemon(std::unique_ptr<ChildProcess>& daemon, const Environment& environment)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        const std::string port = FreeTcpPort();
        ProcessOptions options;
        options.environment = environment;
        daemon = std::make_unique<ChildProcess>(
            std::vector<std::string>{VEXA_DAEMON_PATH, "-d", kSerial, "-i", "127.0.0.1", "-p", port, "-crt",
                                     Certificates().certFile(), "-key", Certificates().keyFile(), "-ca",
                                     Certificates().caFile()},
            options);
        if (WaitUntil([&] { return !daemon->running() || daemon->out().find("Binding on") != std::string::npos; },
                      std::chrono::seconds(10)) &&
            daemon->running() && WaitUntil([&] { return TlsLoadClient(port).connected(); }, std::chrono::seconds(10))) {
            return port;
        }
    }
    return "";
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
    const ClientFactory unixClient = [&socket] { return std::make_unique<UnixLoadClient>(socket); };
    for (int clients : {1, 8, 64}) {
        const double cpuBefore = CpuSeconds(daemon.pid());
        const LoadResult load = RunLoad(unixClient, clients, seconds);
        const double cpu = CpuSeconds(daemon.pid()) - cpuBefore;
        std::printf("%8d %12.0f %12.3f %14.1f %9ld\n", clients, PerSecond(load), load.medianMs,
                    load.requests > 0 ? cpu * 1e6 / static_cast<double>(load.requests) : 0.0, load.failures);
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

    constexpr int kCompared[] = {1, 4, 16};
    std::vector<LoadResult> overUnix;
    for (int clients : kCompared) {
        overUnix.push_back(RunLoad(unixClient, clients, seconds));
    }
    daemon.signal(SIGTERM);
    daemon.wait(std::chrono::seconds(10));

    std::unique_ptr<ChildProcess> tlsDaemon;
    const std::string port = StartTlsDaemon(tlsDaemon, sim.environment());
    if (port.empty()) {
        std::fprintf(stderr, "the daemon did not serve the token over TLS:\n%s",
                     tlsDaemon ? tlsDaemon->err().c_str() : "");
        return 1;
    }
    const ClientFactory tlsClient = [&port] { return std::make_unique<TlsLoadClient>(port); };
    std::printf("\nthe same token over the Unix socket and over TLS (one daemon at a time)\n");
    std::printf("%8s %12s %12s %12s %12s %9s\n", "clients", "Unix req/s", "median ms", "TLS req/s", "median ms",
                "failures");
    for (size_t i = 0; i < std::size(kCompared); ++i) {
        const LoadResult tls = RunLoad(tlsClient, kCompared[i], seconds);
        std::printf("%8d %12.0f %12.3f %12.0f %12.3f %9ld\n", kCompared[i], PerSecond(overUnix[i]),
                    overUnix[i].medianMs, PerSecond(tls), tls.medianMs, overUnix[i].failures + tls.failures);
    }
    tlsDaemon->signal(SIGTERM);
    tlsDaemon->wait(std::chrono::seconds(10));
    return 0;
}
