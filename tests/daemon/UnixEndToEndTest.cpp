// vexa-daemon -t unix under the token simulator (echo firmware: each reply is
// the request reversed).
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

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
    // launcher: words put before the daemon's command line (such as prlimit).
    void startDaemon(const std::vector<std::string>& simArgs, std::vector<std::string> launcher = {})
    {
        std::vector<std::string> args = {"--firmware", "echo"};
        args.insert(args.end(), simArgs.begin(), simArgs.end());
        m_sim = std::make_unique<vexa::test::TokenSimulator>(args);
        ProcessOptions options;
        options.environment = m_sim->environment();
        launcher.insert(launcher.end(), {VEXA_DAEMON_PATH, "-t", "unix", "-sd", sockets.path()});
        m_daemon = std::make_unique<ChildProcess>(launcher, options);
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

    ASSERT_EQ(m_sim->control("unplug " + kSerialA), "ok");
    ASSERT_TRUE(client.send(MakePacket({3})));
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

}  // namespace
}  // namespace vexa::daemon
