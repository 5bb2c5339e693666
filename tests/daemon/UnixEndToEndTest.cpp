// vexa-daemon -t unix under the token simulator (echo firmware: each reply is
// the request reversed).
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "SocketClient.h"
#include "TestProcess.h"
#include "TokenSimulator.h"

namespace vexa::daemon {
namespace {

using namespace test;
using namespace std::chrono_literals;

const std::string kSerialA = "00000000000A";
const std::string kSerialB = "00000000000B";
const std::string kSerialC = "00000000000C";

class UnixEndToEnd : public testing::Test {
protected:
    // launcher: words put before the daemon's command line (such as prlimit);
    // daemonArgs: words after it.
    void startDaemon(const std::vector<std::string>& simArgs, std::vector<std::string> launcher = {},
                     const std::vector<std::string>& daemonArgs = {})
    {
        std::vector<std::string> args = {"--firmware", "echo"};
        args.insert(args.end(), simArgs.begin(), simArgs.end());
        m_sim = std::make_unique<vexa::test::TokenSimulator>(args);
        m_daemon = startAnother(launcher, daemonArgs);
    }
    // One more daemon on the same tokens and socket directory.
    std::unique_ptr<ChildProcess> startAnother(std::vector<std::string> launcher = {},
                                               const std::vector<std::string>& daemonArgs = {},
                                               const std::string& cwd = "")
    {
        ProcessOptions options;
        options.environment = m_sim->environment();
        options.cwd = cwd;
        launcher.insert(launcher.end(), {VEXA_DAEMON_PATH, "-t", "unix", "-sd", sockets.path()});
        launcher.insert(launcher.end(), daemonArgs.begin(), daemonArgs.end());
        return std::make_unique<ChildProcess>(launcher, options);
    }

    // The daemon must end before the simulator: clients of a vanished
    // simulator die in its preload.
    void TearDown() override
    {
        m_daemon.reset();
        m_sim.reset();
    }

    std::string socketPath(const std::string& serial) const { return sockets.file("vexa." + serial + ".sock"); }
    bool served(const std::string& serial) const { return access(socketPath(serial).c_str(), F_OK) == 0; }
    // Until the token's socket accepts clients, or until its file has gone.
    bool waitServed(const std::string& serial, bool expected = true) const
    {
        return WaitUntil([&] { return expected ? Listening(socketPath(serial)) : !served(serial); }, 5s);
    }
    std::string output() const { return m_daemon->out() + m_daemon->err(); }

    TempDir sockets{"vexa-daemon-sockets"};
    std::unique_ptr<vexa::test::TokenSimulator> m_sim;
    std::unique_ptr<ChildProcess> m_daemon;
};

mode_t ModeOf(const std::string& path)
{
    struct stat info {};
    stat(path.c_str(), &info);
    return info.st_mode;
}

// At start and at exit the daemon removes the sockets that are its own to
// remove: its tokens' and leftovers named exactly like a token's. Other
// programs' sockets and files that are not sockets stay.
TEST_F(UnixEndToEnd, ServesEveryTokenAndCleansUpOnTermination)
{
    const std::string leftover = sockets.file("vexa.0123456789EF.sock");
    const std::vector<std::string> foreignSockets = {sockets.file("vexa.0123456789XY.sock"),
                                                     sockets.file("vexa.ABCDEFGHIJKL"),
                                                     sockets.file("vexa.other-service.sock")};
    const std::string regularFile = sockets.file("vexa.0123456789EE.sock");
    ASSERT_TRUE(MakeSocketFile(leftover));
    for (const std::string& path : foreignSockets) {
        ASSERT_TRUE(MakeSocketFile(path));
    }
    WriteFile(regularFile, "a regular file");
    WriteFile(socketPath(kSerialC), "in the place of a token's socket");
    startDaemon({"--token", kSerialB, "--token", kSerialA + ",framing=reportid", "--token", kSerialC});

    ASSERT_TRUE(waitServed(kSerialA) && waitServed(kSerialB)) << output();
    for (const std::string& serial : {kSerialA, kSerialB}) {
        EXPECT_TRUE(S_ISSOCK(ModeOf(socketPath(serial))));
        EXPECT_EQ(ModeOf(socketPath(serial)) & 07777, 0660u);
    }
    EXPECT_FALSE(access(leftover.c_str(), F_OK) == 0);
    ASSERT_TRUE(m_daemon->waitForOutput(
        "WARN : " + socketPath(kSerialC) + " is not a socket; left alone, and " + kSerialC + " is not served.\n", 5s))
        << output();
    EXPECT_NE(m_daemon->err().find("WARN : " + regularFile + " is not a socket; left alone.\n"), std::string::npos)
        << output();

    const auto started = LinesContaining(m_daemon->out(), "Starting new device thread for");
    ASSERT_EQ(started.size(), 2u);
    EXPECT_NE(started[0].find(kSerialA), std::string::npos);
    EXPECT_NE(started[1].find(kSerialB), std::string::npos);

    for (const std::string& serial : {kSerialA, kSerialB}) {
        SocketClient client = SocketClient::ConnectUnix(socketPath(serial));
        const Bytes largest = Pattern(4096, 3);
        EXPECT_EQ(client.exchange(largest, 4096), Reversed(largest)) << serial;
        EXPECT_EQ(client.exchange({1, 2, 3}, 3), (Bytes{3, 2, 1})) << serial;
    }

    m_daemon->signal(SIGTERM);
    EXPECT_EQ(m_daemon->wait(10s), 0);
    EXPECT_NE(m_daemon->out().find("INFO : Signal 15 received, cleaning up before exit...\n"), std::string::npos);
    EXPECT_NE(m_daemon->out().find("INFO : Done.\n"), std::string::npos);
    EXPECT_FALSE(served(kSerialA));
    EXPECT_FALSE(served(kSerialB));
    for (const std::string& path : foreignSockets) {
        EXPECT_TRUE(S_ISSOCK(ModeOf(path))) << path;
    }
    EXPECT_EQ(ReadFile(regularFile), "a regular file");
    EXPECT_EQ(ReadFile(socketPath(kSerialC)), "in the place of a token's socket");
    EXPECT_EQ(LinesContaining(output(), "is not a socket; left alone, and").size(), 1u) << output();
}

TEST_F(UnixEndToEnd, PacketRulesHoldThroughTheRealToken)
{
    TempDir traceDir;
    const std::string trace = traceDir.file("trace");
    startDaemon({"--token", kSerialA, "--trace", trace});
    ASSERT_TRUE(waitServed(kSerialA)) << output();

    // The echo token does not answer an empty request: the daemon then waits
    // out its token timeout, and the client gets nothing meanwhile.
    SocketClient empty = SocketClient::ConnectUnix(socketPath(kSerialA));
    ASSERT_TRUE(empty.send(MakePacket({})));
    EXPECT_TRUE(WaitUntil([&] { return ReadFile(trace).find(kSerialA + " in 0 ") != std::string::npos; }, 5s))
        << ReadFile(trace);
    EXPECT_TRUE(empty.quietFor(200ms));

    struct Case {
        Bytes packet;
        const char* logged;
    };
    const Case cases[] = {
        {MakePacket(Pattern(4097)), "ERROR : packet len too big 4097\n"},
        {MakePacket({1, 2}, 1), "ERROR : Invalid cmd type received 1.\n"},
        {MakePacket({1, 2}, 0, 3), "ERROR : Short packet read, expected 3 got 2\n"},
    };
    for (const Case& c : cases) {
        SocketClient client = SocketClient::ConnectUnix(socketPath(kSerialA));
        ASSERT_TRUE(client.send(c.packet));
        client.shutdownWrite();
        EXPECT_TRUE(client.closedByPeer()) << c.logged;
        EXPECT_TRUE(m_daemon->waitForOutput(c.logged, 5s)) << c.logged;
    }
    // The token saw the empty request and nothing else.
    EXPECT_EQ(LinesContaining(ReadFile(trace), kSerialA).size(), 1u) << ReadFile(trace);
}

TEST_F(UnixEndToEnd, ConcurrentClientsGetOnlyTheirOwnReplies)
{
    startDaemon({"--token", kSerialA});
    ASSERT_TRUE(waitServed(kSerialA)) << output();
    constexpr int kClients = 8;
    constexpr int kRequests = 25;
    std::atomic<int> wrong{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            SocketClient client = SocketClient::ConnectUnix(socketPath(kSerialA));
            for (int r = 0; r < kRequests; ++r) {
                const Bytes request = Pattern(static_cast<size_t>(40 + c * 30 + r), static_cast<uint8_t>(c * 31 + r));
                if (client.exchange(request, request.size()) != Reversed(request)) {
                    ++wrong;
                }
            }
        });
    }
    for (auto& client : clients) {
        client.join();
    }
    EXPECT_EQ(wrong, 0);
}

TEST_F(UnixEndToEnd, UnpluggedTokenIsRetiredAndPluggingBringsItBack)
{
    startDaemon({"--token", kSerialA, "--token", kSerialB});
    ASSERT_TRUE(waitServed(kSerialA) && waitServed(kSerialB)) << output();
    SocketClient client = SocketClient::ConnectUnix(socketPath(kSerialA));
    EXPECT_EQ(client.exchange({1, 2}, 2), (Bytes{2, 1}));

    // The connection is hung up, whether or not the client sends first.
    ASSERT_EQ(m_sim->control("unplug " + kSerialA), "ok");
    (void)client.send(MakePacket({3}));
    EXPECT_TRUE(client.closedByPeer());
    EXPECT_TRUE(waitServed(kSerialA, false));
    ASSERT_TRUE(m_daemon->waitForOutput("Device removed: " + kSerialA, 5s)) << output();
    const std::string out = m_daemon->out();
    EXPECT_LT(out.find("INFO : Server socket closed for " + kSerialA), out.find("INFO : Device removed: " + kSerialA));

    // The other token was not disturbed.
    SocketClient other = SocketClient::ConnectUnix(socketPath(kSerialB));
    EXPECT_EQ(other.exchange({4, 5}, 2), (Bytes{5, 4}));

    ASSERT_EQ(m_sim->control("plug " + kSerialA), "ok");
    ASSERT_TRUE(waitServed(kSerialA)) << output();
    SocketClient again = SocketClient::ConnectUnix(socketPath(kSerialA));
    EXPECT_EQ(again.exchange({6, 7}, 2), (Bytes{7, 6}));
}

bool Readable(const SocketClient& client)
{
    pollfd state{client.fd(), POLLIN, 0};
    return poll(&state, 1, 0) > 0;
}

// More idle clients than the daemon has descriptors for: it keeps the token's
// socket, and the client it could not take is served once others leave.
TEST_F(UnixEndToEnd, DescriptorShortageLeavesTheTokenServed)
{
    startDaemon({"--token", kSerialA}, {"prlimit", "--nofile=64"});
    ASSERT_TRUE(waitServed(kSerialA)) << output();
    const std::string shortage = "accept failed on " + socketPath(kSerialA) + ": Too many open files; trying again.";
    std::vector<SocketClient> idle;
    std::unique_ptr<SocketClient> waiting;
    while (waiting == nullptr && idle.size() < 200) {
        auto client = std::make_unique<SocketClient>(SocketClient::ConnectUnix(socketPath(kSerialA)));
        ASSERT_GE(client->fd(), 0);
        ASSERT_TRUE(client->send(MakePacket({1, 2})));
        // Served, or left waiting by a daemon without descriptors.
        ASSERT_TRUE(WaitUntil([&] { return Readable(*client) || output().find(shortage) != std::string::npos; }, 10s))
            << output();
        if (Readable(*client)) {
            ASSERT_EQ(client->receive(2), (Bytes{2, 1}));
            idle.push_back(std::move(*client));
        } else {
            waiting = std::move(client);
        }
    }
    ASSERT_NE(waiting, nullptr) << "the daemon took " << idle.size() << " clients";
    EXPECT_TRUE(served(kSerialA));
    for (const size_t keep = idle.size() / 2; idle.size() > keep;) {
        idle.pop_back();
    }
    EXPECT_EQ(waiting->receive(2), (Bytes{2, 1}));
    EXPECT_TRUE(m_daemon->waitForOutput("INFO : Accepting clients on " + socketPath(kSerialA) + " again.", 5s));
    SocketClient late = SocketClient::ConnectUnix(socketPath(kSerialA));
    EXPECT_EQ(late.exchange({3, 4}, 2), (Bytes{4, 3}));
}

// 40 descriptors, 36 idle clients. The daemon runs short of descriptors, yet
// its listings of the tokens keep theirs, so the token is never taken for
// gone.
TEST_F(UnixEndToEnd, IdleClientsThatTakeEveryDescriptorWithdrawNoToken)
{
    startDaemon({"--token", kSerialA}, {"prlimit", "--nofile=40"}, {"-v", "10"});
    ASSERT_TRUE(waitServed(kSerialA)) << output();
    const std::string shortage = "Too many open files; trying again.";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath(kSerialA).c_str(), sizeof address.sun_path - 1);
    std::vector<SocketClient> idle;
    for (int i = 0; i < 36; ++i) {
        // Non-blocking: a full backlog refuses at once instead of blocking
        // the test; that is tried again until the daemon is out of
        // descriptors, when it takes no more.
        const bool connected = WaitUntil(
            [&] {
                SocketClient client(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
                if (connect(client.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
                    idle.push_back(std::move(client));
                    return true;
                }
                return output().find(shortage) != std::string::npos;
            },
            10s);
        ASSERT_TRUE(connected) << output();
    }
    ASSERT_TRUE(m_daemon->waitForOutput(shortage, 10s)) << output();
    // Scans go on meanwhile (TRACE "Scan: ..."), and find the token attached.
    const size_t scansBefore = LinesContaining(output(), "TRACE : Scan: ").size();
    ASSERT_TRUE(WaitUntil([&] { return LinesContaining(output(), "TRACE : Scan: ").size() >= scansBefore + 3; }, 10s))
        << output();
    const auto scans = LinesContaining(output(), "TRACE : Scan: ");
    for (size_t i = scansBefore; i < scans.size(); ++i) {
        EXPECT_NE(scans[i].find("TRACE : Scan: 1 attached."), std::string::npos) << scans[i];
    }
    EXPECT_TRUE(served(kSerialA));
    EXPECT_EQ(output().find("Server socket closed for " + kSerialA), std::string::npos) << output();
    EXPECT_EQ(output().find("no longer in service"), std::string::npos) << output();

    idle.clear();
    SocketClient late = SocketClient::ConnectUnix(socketPath(kSerialA));
    EXPECT_EQ(late.exchange({3, 4}, 2), (Bytes{4, 3}));
}

// One local user cannot take every descriptor of the daemon through one
// token: a connection beyond the limit is closed at once.
TEST_F(UnixEndToEnd, ClientsBeyondTheTokensLimitAreClosedAtOnce)
{
    startDaemon({"--token", kSerialA}, {}, {"-mc", "2"});
    ASSERT_TRUE(waitServed(kSerialA)) << output();
    // Two clients served. The connection of waitServed() may count for a
    // moment longer; a client refused meanwhile is replaced by another.
    std::vector<SocketClient> held;
    const auto serveOneMore = [&] {
        SocketClient client = SocketClient::ConnectUnix(socketPath(kSerialA));
        if (client.send(MakePacket({1})) && client.receive(1, 500ms) == Bytes{1}) {
            held.push_back(std::move(client));
            return true;
        }
        return false;
    };
    ASSERT_TRUE(WaitUntil([&] { return serveOneMore() && held.size() == 2; }, 10s)) << output();
    for (int i = 0; i < 3; ++i) {
        SocketClient beyond = SocketClient::ConnectUnix(socketPath(kSerialA));
        EXPECT_TRUE(beyond.closedByPeer()) << i;
    }
    EXPECT_GE(LinesContaining(m_daemon->err(), "WARN : " + kSerialA +
                                                   " already has 2 clients, its limit; further connections are closed.")
                  .size(),
              1u)
        << output();
    // A client that leaves makes room for the next.
    held.pop_back();
    EXPECT_TRUE(WaitUntil(serveOneMore, 5s));
    EXPECT_EQ(held.front().exchange({4}, 1), Bytes{4});
}

// A second daemon on the same socket directory would delete the first one's
// live sockets; it leaves instead.
TEST_F(UnixEndToEnd, SecondDaemonOnTheSameDirectoryLeaves)
{
    startDaemon({"--token", kSerialA});
    ASSERT_TRUE(waitServed(kSerialA)) << output();
    std::unique_ptr<ChildProcess> second = startAnother();
    EXPECT_EQ(second->wait(10s), 1);
    EXPECT_NE(second->err().find("ERROR : Another vexa-daemon serves socket directory " + sockets.path() +
                                 " (it holds " + sockets.file("vexa-daemon.lock") + "); exiting.\n"),
              std::string::npos)
        << second->err();
    EXPECT_TRUE(served(kSerialA));
    SocketClient client = SocketClient::ConnectUnix(socketPath(kSerialA));
    EXPECT_EQ(client.exchange({1, 2}, 2), (Bytes{2, 1}));
    EXPECT_TRUE(m_daemon->running());
}

// Anyone may write to a world-writable directory without the sticky bit, and
// so move a socket aside and listen in its place.
TEST_F(UnixEndToEnd, SocketDirectoryEveryoneMayWriteIsRefused)
{
    ASSERT_EQ(chmod(sockets.path().c_str(), 0777), 0);
    startDaemon({"--token", kSerialA});
    EXPECT_EQ(m_daemon->wait(10s), 1);
    EXPECT_NE(m_daemon->err().find("ERROR : Refusing to serve from socket directory " + sockets.path() + ": " +
                                   sockets.path() + " is writable by every user (mode 0777, no sticky bit)"),
              std::string::npos)
        << output();
    EXPECT_FALSE(served(kSerialA));
}

// The socket is named after the serial in capitals, as the library names it.
TEST_F(UnixEndToEnd, SerialInLowerCaseGetsItsSocketInCapitals)
{
    startDaemon({"--token", "0000000000ab"});
    ASSERT_TRUE(waitServed("0000000000AB")) << output();
    SocketClient client = SocketClient::ConnectUnix(socketPath("0000000000AB"));
    EXPECT_EQ(client.exchange({1, 2}, 2), (Bytes{2, 1}));
}

// vexa-daemon.json that cannot be read (here a directory) is reported and
// then treated as no file at all.
TEST_F(UnixEndToEnd, ConfigurationFileThatCannotBeReadIsPassedOver)
{
    TempDir work;
    ASSERT_EQ(mkdir(work.file("vexa-daemon.json").c_str(), 0755), 0);
    m_sim = std::make_unique<vexa::test::TokenSimulator>(
        std::vector<std::string>{"--firmware", "echo", "--token", kSerialA});
    m_daemon = startAnother({}, {}, work.path());
    ASSERT_TRUE(waitServed(kSerialA)) << output();
    EXPECT_NE(m_daemon->err().find("ERROR : Failed to load config file.\n"), std::string::npos) << output();

    const ProcessResult withoutOptions = RunProcess({VEXA_DAEMON_PATH}, {work.path(), {}});
    EXPECT_EQ(withoutOptions.status, 1) << withoutOptions.err;
    EXPECT_NE(withoutOptions.err.find("ERROR : Failed to load config file.\n"), std::string::npos);
    EXPECT_NE(withoutOptions.out.find("usage: vexa-daemon"), std::string::npos);
}

}  // namespace
}  // namespace vexa::daemon
