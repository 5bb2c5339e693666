// vexa-bench-daemon: throughput, latency, CPU time and memory of vexa-daemon
// serving one simulated token (echo firmware) on its Unix socket, the same
// token served over TLS beside it, and the allocations of the connection
// loop per request; then requests on sessions of a working token (pkcs11
// firmware), and what the daemon's session bookkeeping costs of them. Not a
// test: prints figures.
//
//   vexa-bench-daemon [--usb-timing] [--seconds N] [--daemon PATH]
//
// --daemon measures another vexa-daemon (an older build, say) the same way.
#include <fcntl.h>
#include <p11-kit/pkcs11.h>
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
#include "SessionBroker.h"
#include "SocketClient.h"
#include "TestProcess.h"
#include "TlsTestClient.h"
#include "TokenSimulator.h"
#include "UnixClientHandler.h"
#include "wire/Codec.h"

namespace {

using namespace vexa::daemon;
using namespace vexa::daemon::test;
namespace wire = vexa::wire;
namespace fn = vexa::fn;
using Clock = std::chrono::steady_clock;

constexpr size_t kRequestSize = 64;
const std::string kSerial = "0000000000B1";
const std::string kSessionSerial = "0000000000B2";
std::string daemonPath = VEXA_DAEMON_PATH;

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
    // One request of this client and its reply; false when it failed.
    virtual bool request() { return exchange(m_packet, m_reply) && m_reply[0] == m_packet[4 + kRequestSize]; }
    // Fills the echo token's request of the index'th client.
    void setIndex(int index)
    {
        for (size_t i = 0; i < kRequestSize; ++i) {
            m_packet[5 + i] = static_cast<uint8_t>(index + static_cast<int>(i));
        }
    }

private:
    uint8_t m_packet[5 + kRequestSize] = {kRequestSize, 0, 0, 0, 0};
    uint8_t m_reply[kRequestSize] = {};
};

class UnixLoadClient : public LoadClient {
public:
    explicit UnixLoadClient(const std::string& socket) : m_client(SocketClient::ConnectUnix(socket)) {}
    bool connected() const override { return m_client.fd() >= 0; }
    bool exchange(uint8_t (&packet)[5 + kRequestSize], uint8_t (&reply)[kRequestSize]) override
    {
        return Exchange(m_client.fd(), packet, reply);
    }

protected:
    SocketClient m_client;
};

// A client of a working token: it opens a session and then asks for the
// session's information, again and again. Every request names the session,
// so the daemon looks it up each time.
class SessionLoadClient : public UnixLoadClient {
public:
    explicit SessionLoadClient(const std::string& socket) : UnixLoadClient(socket)
    {
        wire::Request open;
        open.function = fn::OpenSession;
        open.value = CKF_SERIAL_SESSION;
        wire::Response opened;
        if (!UnixLoadClient::connected() || !call(open, opened) || opened.rv != CKR_OK || !opened.handle) {
            return;
        }
        wire::Request info;
        info.function = fn::GetSessionInfo;
        info.session = opened.handle;
        Bytes encoded;
        wire::encodeRequest(info, encoded, wire::kMaxRequest);
        m_packet = MakePacket(encoded);
        m_replyLength = roundTrip();
    }
    bool connected() const override { return m_replyLength > 0; }
    bool request() override { return roundTrip() == m_replyLength; }

private:
    bool call(const wire::Request& request, wire::Response& response)
    {
        Bytes encoded;
        return wire::encodeRequest(request, encoded, wire::kMaxRequest) && m_client.send(MakePacket(encoded)) &&
               wire::decodeResponse(m_client.receiveReply(), response);
    }
    // The length of the reply to the session request, 0 when none came.
    size_t roundTrip()
    {
        if (send(m_client.fd(), m_packet.data(), m_packet.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(m_packet.size())) {
            return 0;
        }
        const ssize_t n = recv(m_client.fd(), m_reply, sizeof m_reply, 0);
        return n > 0 ? static_cast<size_t>(n) : 0;
    }

    Bytes m_packet;
    uint8_t m_reply[kMaxMessage];
    size_t m_replyLength = 0;
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
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            connections[static_cast<size_t>(c)] = connect();
            connections[static_cast<size_t>(c)]->setIndex(c);
        });
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
            while (!stop && mine.size() < 100000) {
                const auto sent = Clock::now();
                if (!client.connected() || !client.request()) {
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
            std::vector<std::string>{daemonPath, "-d", kSerial, "-i", "127.0.0.1", "-p", port, "-crt",
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

// A token that answers every request at once with the same reply.
class InstantToken : public ITokenLink {
public:
    ExchangeOutcome transfer(uint8_t* buffer, uint32_t, uint32_t& replyLength) override
    {
        std::copy(reply.begin(), reply.end(), buffer);
        replyLength = static_cast<uint32_t>(reply.size());
        return ExchangeOutcome::Replied;
    }
    Bytes reply;
};

Bytes Encoded(const wire::Request& request)
{
    Bytes bytes;
    wire::encodeRequest(request, bytes, wire::kMaxRequest);
    return bytes;
}

Bytes Encoded(const wire::Response& response)
{
    Bytes bytes;
    wire::encodeResponse(response, bytes, kMaxMessage);
    return bytes;
}

struct Bookkeeping {
    double nanoseconds;
    double allocations;
};

// What the session bookkeeping adds to a request on a session the daemon
// knows: the broker's serve against a token that answers at once, less the
// same token called alone; and the allocations of the broker's serve.
Bookkeeping MeasureBookkeeping(const wire::Request& request, const wire::Response& response)
{
    CSessionBroker broker("BENCH", nullptr);
    InstantToken token;
    const ClientId client = broker.attachConnection("bench");
    uint8_t buffer[kMaxMessage];
    uint32_t replyLength = 0;
    token.reply = Encoded(wire::Response{CKR_OK, *request.session});
    const Bytes open = Encoded(wire::Request{fn::OpenSession});
    std::copy(open.begin(), open.end(), buffer);
    broker.serve(client, buffer, static_cast<uint32_t>(open.size()), replyLength, token);
    const Bytes asked = Encoded(request);
    token.reply = Encoded(response);
    constexpr int kRounds = 1000000;
    const auto time = [&](bool throughBroker) {
        const auto start = Clock::now();
        for (int i = 0; i < kRounds; ++i) {
            std::copy(asked.begin(), asked.end(), buffer);
            if (throughBroker) {
                broker.serve(client, buffer, static_cast<uint32_t>(asked.size()), replyLength, token);
            } else {
                token.transfer(buffer, static_cast<uint32_t>(asked.size()), replyLength);
            }
        }
        return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / kRounds;
    };
    time(true);  // warm up
    const double nanoseconds = time(true) - time(false);
    allocation::startCounting();
    for (int i = 0; i < 1000; ++i) {
        std::copy(asked.begin(), asked.end(), buffer);
        broker.serve(client, buffer, static_cast<uint32_t>(asked.size()), replyLength, token);
    }
    return {nanoseconds, static_cast<double>(allocation::stopCounting()) / 1000.0};
}

// Requests on sessions of a working token through a daemon of its own; the
// daemon's CPU microseconds per request, the smallest of the runs.
double RunSessionLoad(double seconds)
{
    vexa::test::TokenSimulator sim({"--token", kSessionSerial});
    TempDir sockets{"vexa-bench-sessions"};
    ProcessOptions options;
    options.environment = sim.environment();
    ChildProcess daemon({daemonPath, "-t", "unix", "-sd", sockets.path()}, options);
    const std::string socket = sockets.file("vexa." + kSessionSerial + ".sock");
    if (!WaitUntil([&] { return Listening(socket); }, std::chrono::seconds(10))) {
        std::fprintf(stderr, "the daemon did not serve the working token:\n%s", daemon.err().c_str());
        return 0;
    }
    std::printf(
        "\nrequests on sessions of a working token (pkcs11 firmware): C_GetSessionInfo on a session of "
        "the client's own\n");
    std::printf("%8s %12s %12s %14s %9s\n", "clients", "requests/s", "median ms", "daemon CPU us", "failures");
    const ClientFactory sessionClient = [&socket] { return std::make_unique<SessionLoadClient>(socket); };
    double smallest = 0;
    for (int clients : {1, 8}) {
        const double cpuBefore = CpuSeconds(daemon.pid());
        const LoadResult load = RunLoad(sessionClient, clients, seconds);
        const double cpu = CpuSeconds(daemon.pid()) - cpuBefore;
        const double perRequest = load.requests > 0 ? cpu * 1e6 / static_cast<double>(load.requests) : 0.0;
        smallest = smallest == 0 ? perRequest : std::min(smallest, perRequest);
        std::printf("%8d %12.0f %12.3f %14.1f %9ld\n", clients, PerSecond(load), load.medianMs, perRequest,
                    load.failures);
    }
    daemon.signal(SIGTERM);
    daemon.wait(std::chrono::seconds(10));
    return smallest;
}

void ReportBookkeeping(double daemonMicroseconds)
{
    wire::Request sign{fn::Sign, 1u};
    sign.data = Bytes(32, 0x5C);
    sign.outputLength = 128;
    wire::Response signature{CKR_OK};
    signature.output = Bytes(64, 0xA5);
    signature.outputLength = 64;
    wire::Response info{CKR_OK};
    info.sessionInfo = RpcSessionInfo{3, CKF_SERIAL_SESSION | CKF_RW_SESSION, 0};
    const Bookkeeping forInfo = MeasureBookkeeping(wire::Request{fn::GetSessionInfo, 1u}, info);
    const Bookkeeping forSign = MeasureBookkeeping(sign, signature);
    std::printf(
        "session bookkeeping per request, in this process: %.0f ns (C_GetSessionInfo), %.0f ns (C_Sign); "
        "allocations %.2f and %.2f\n",
        forInfo.nanoseconds, forSign.nanoseconds, forInfo.allocations, forSign.allocations);
    if (daemonMicroseconds > 0) {
        std::printf("that is at most %.2f %% of the daemon's CPU per session request above\n",
                    std::max(forInfo.nanoseconds, forSign.nanoseconds) / 10.0 / daemonMicroseconds);
    }
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
        } else if (std::strcmp(argv[i], "--daemon") == 0 && i + 1 < argc) {
            daemonPath = argv[++i];
        } else {
            std::fprintf(stderr, "usage: vexa-bench-daemon [--usb-timing] [--seconds N] [--daemon PATH]\n");
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
    ChildProcess daemon({daemonPath, "-t", "unix", "-sd", sockets.path()}, options);
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

    ReportBookkeeping(RunSessionLoad(seconds));
    return 0;
}
