#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "CapturedLog.h"
#include "DaemonLog.h"
#include "EchoTransport.h"
#include "SocketClient.h"
#include "UnixClientHandler.h"

namespace vexa::daemon {
namespace {

using namespace test;
using namespace std::chrono_literals;

// Connections served by HandleUnixClient, each on its own thread over a
// socketpair, with one fake token behind their shared port. The daemon's log
// is captured until finish().
class UnixClientTest : public testing::Test {
protected:
    void SetUp() override
    {
        m_log = std::make_unique<CapturedLog>();
        auto owned = std::make_unique<EchoTransport>();
        m_fake = owned.get();
        m_port = std::make_unique<CThreadSafeUSBPort>("SERIAL01", std::move(owned));
        m_clients.push_back(connect());
    }

    void TearDown() override { finish(); }

    // Closes the clients, waits for the connection threads and returns the log.
    std::string finish()
    {
        m_clients.clear();
        for (std::thread& server : m_servers) {
            if (server.joinable()) {
                server.join();
            }
        }
        return m_log->text();
    }

    SocketClient& client() { return *m_clients.front(); }
    // A further connection to the same token.
    SocketClient& another()
    {
        m_clients.push_back(connect());
        return *m_clients.back();
    }
    EchoTransport& token() { return *m_fake; }
    CThreadSafeUSBPort& port() { return *m_port; }

private:
    std::unique_ptr<SocketClient> connect()
    {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        m_servers.emplace_back(HandleUnixClient, fds[1], m_port.get());
        return std::make_unique<SocketClient>(fds[0]);
    }

    EchoTransport* m_fake = nullptr;
    std::unique_ptr<CThreadSafeUSBPort> m_port;
    std::vector<std::unique_ptr<SocketClient>> m_clients;
    std::unique_ptr<CapturedLog> m_log;
    std::vector<std::thread> m_servers;
};

TEST_F(UnixClientTest, RepliesToEachRequestInTurn)
{
    for (size_t length : {1u, 59u, 60u, 4095u, 4096u}) {
        const Bytes request = Pattern(length, static_cast<uint8_t>(length));
        EXPECT_EQ(client().exchange(request, length), Reversed(request)) << length;
    }
    EXPECT_EQ(token().requests().size(), 5u);
    // The client's leaving is its normal end, not worth a line at INFO.
    const std::string log = finish();
    EXPECT_EQ(log, "");
}

TEST_F(UnixClientTest, ClientLeavingBetweenRequestsIsLoggedAtDebug)
{
    setLogThreshold(corvel::kLogDebug);
    EXPECT_EQ(client().exchange({1}, 1), Bytes{1});
    const std::string log = finish();
    setLogThreshold(corvel::kLogInfo);
    EXPECT_NE(log.find("DEBUG : Client closed the connection.\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("INFO"), std::string::npos) << log;
}

TEST_F(UnixClientTest, EmptyRequestReachesTokenAndConnectionStaysOpen)
{
    ASSERT_TRUE(client().send(MakePacket({})));
    EXPECT_TRUE(client().quietFor(100ms));
    EXPECT_EQ(client().exchange({7, 8}, 2), (Bytes{8, 7}));
    EXPECT_EQ(token().requests(), (std::vector<Bytes>{{}, {7, 8}}));
}

TEST_F(UnixClientTest, HeaderSplitOverTwoWritesIsServed)
{
    const Bytes packet = MakePacket({1, 2, 3});
    ASSERT_TRUE(client().send(Bytes(packet.begin(), packet.begin() + 2)));
    std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(client().send(Bytes(packet.begin() + 2, packet.end())));
    EXPECT_EQ(client().receive(3), (Bytes{3, 2, 1}));
}

struct EndCase {
    const char* name;
    Bytes sent;
    std::vector<std::string> logged;
};

void PrintTo(const EndCase& c, std::ostream* out) { *out << c.name; }

class UnixClientEnds : public UnixClientTest, public testing::WithParamInterface<EndCase> {};

TEST_P(UnixClientEnds, ClosesConnectionAndLogsWhy)
{
    ASSERT_TRUE(client().send(GetParam().sent));
    client().shutdownWrite();
    EXPECT_TRUE(client().closedByPeer());
    const std::string log = finish();
    for (const std::string& line : GetParam().logged) {
        EXPECT_NE(log.find(line), std::string::npos) << line << " in:\n" << log;
    }
    EXPECT_TRUE(token().requests().empty());
}

const char* const kReadFailed = "INFO : Reading packet from socket failed.\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, UnixClientEnds,
    testing::Values(
        EndCase{"LengthAboveLimit", MakePacket(Pattern(4097), 0), {"ERROR : packet len too big 4097\n", kReadFailed}},
        EndCase{"HugeLength", MakePacket({}, 0, 0xFFFFFFFF), {"ERROR : packet len too big 4294967295\n", kReadFailed}},
        EndCase{"PayloadCutShort",
                MakePacket({1, 2, 3, 4}, 0, 10),
                {"ERROR : Short packet read, expected 10 got 4\n", kReadFailed}},
        EndCase{"PartialHeader", {4, 0, 0}, {"INFO : short len read\n", kReadFailed}},
        EndCase{"OtherCommandType", MakePacket({1, 2}, 1), {"ERROR : Invalid cmd type received 1.\n"}}),
    [](const testing::TestParamInfo<EndCase>& info) { return std::string(info.param.name); });

TEST_F(UnixClientTest, TokenWriteFailureEndsConnection)
{
    token().failWrite = true;
    ASSERT_TRUE(client().send(MakePacket({1, 2})));
    EXPECT_TRUE(client().closedByPeer());
    const std::string log = finish();
    EXPECT_NE(log.find("ERROR : Failed to send USB cmd to SERIAL01.\n"), std::string::npos);
    EXPECT_NE(log.find("ERROR : Failed to transmit USB cmd to SERIAL01.\n"), std::string::npos);
}

TEST_F(UnixClientTest, TokenReadFailureEndsConnection)
{
    token().failRead = true;
    ASSERT_TRUE(client().send(MakePacket({1, 2})));
    EXPECT_TRUE(client().closedByPeer());
    EXPECT_NE(finish().find("ERROR : Failed to transmit USB cmd to SERIAL01.\n"), std::string::npos);
}

// The client leaves while the token works on its request: the reply cannot
// be written, and the daemon must survive it (no SIGPIPE).
TEST_F(UnixClientTest, ReplyToAClientThatLeftEndsOnlyThatConnection)
{
    const int clientFd = client().fd();
    // Set once and left in place: the connection thread may still be in it.
    auto first = std::make_shared<std::atomic<bool>>(true);
    token().beforeReply = [clientFd, first] {
        if (first->exchange(false)) {
            shutdown(clientFd, SHUT_RDWR);
        }
    };
    ASSERT_TRUE(client().send(MakePacket({1, 2})));
    EXPECT_TRUE(client().closedByPeer());
    EXPECT_EQ(another().exchange({3, 4}, 2), (Bytes{4, 3}));
    const std::string log = finish();
    EXPECT_EQ(token().requests(), (std::vector<Bytes>{{1, 2}, {3, 4}}));
    EXPECT_TRUE(port().usable());
    EXPECT_NE(log.find("ERROR : Socket write failed.\n"), std::string::npos) << log;
}

// A client that shut down only its sending side still reads its reply.
TEST_F(UnixClientTest, HalfClosedClientGetsItsReply)
{
    ASSERT_TRUE(client().send(MakePacket({1, 2, 3})));
    client().shutdownWrite();
    EXPECT_EQ(client().receive(3), (Bytes{3, 2, 1}));
    EXPECT_TRUE(client().closedByPeer());
    EXPECT_EQ(finish().find("short len read"), std::string::npos);
    EXPECT_EQ(token().requests(), (std::vector<Bytes>{{1, 2, 3}}));
}

// A client that leaves while its request waits behind another client's
// exchange is not served once the token is free.
TEST_F(UnixClientTest, ClientThatLeftWhileQueuedIsNotForwarded)
{
    std::mutex gate;
    std::unique_lock<std::mutex> held(gate);
    token().beforeReply = [&gate] { std::lock_guard<std::mutex> passed(gate); };
    ASSERT_TRUE(client().send(MakePacket({1, 2})));
    for (int i = 0; i < 500 && token().requests().empty(); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(token().requests().size(), 1u);
    SocketClient& queued = another();
    ASSERT_TRUE(queued.send(MakePacket({3, 4})));
    shutdown(queued.fd(), SHUT_RDWR);
    held.unlock();
    EXPECT_EQ(client().receive(2), (Bytes{2, 1}));
    token().beforeReply = nullptr;
    EXPECT_EQ(another().exchange({5}, 1), Bytes{5});
    const std::string log = finish();
    EXPECT_EQ(token().requests(), (std::vector<Bytes>{{1, 2}, {5}}));
    EXPECT_NE(log.find("INFO : Client left before its request reached the token; request dropped.\n"),
              std::string::npos)
        << log;
}

// Served on the test's own thread after the client has gone: nobody would
// read the reply, so the token never sees the request.
TEST(UnixClientGone, RequestOfAClientThatLeftIsNotForwarded)
{
    CapturedLog log;
    auto owned = std::make_unique<EchoTransport>();
    EchoTransport* token = owned.get();
    CThreadSafeUSBPort port("SERIAL01", std::move(owned));
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    {
        SocketClient client(fds[0]);
        ASSERT_TRUE(client.send(MakePacket({1, 2})));
    }
    HandleUnixClient(fds[1], &port);
    EXPECT_TRUE(token->requests().empty());
    EXPECT_TRUE(port.usable());
    EXPECT_NE(log.text().find("INFO : Client left before its request reached the token; request dropped.\n"),
              std::string::npos)
        << log.text();
}

struct ReplyFault {
    const char* name;
    std::function<void(EchoTransport&)> inject;
    std::string logged;
};

void PrintTo(const ReplyFault& c, std::ostream* out) { *out << c.name; }

class UnixClientReplyFaults : public UnixClientTest, public testing::WithParamInterface<ReplyFault> {};

// A reply that does not fit the daemon's buffer ends the exchange of the
// client that asked; no byte of it reaches that client or the next one.
TEST_P(UnixClientReplyFaults, EndOnlyThatClientsExchange)
{
    GetParam().inject(token());
    ASSERT_TRUE(client().send(MakePacket(Pattern(100))));
    EXPECT_EQ(client().receive(1), Bytes{});
    EXPECT_TRUE(client().closedByPeer());
    token().replyExtra = 0;
    token().overstateReply = false;
    SocketClient& next = another();
    EXPECT_EQ(next.exchange({1, 2, 3}, 3), (Bytes{3, 2, 1}));
    EXPECT_TRUE(next.quietFor(std::chrono::milliseconds(50)));
    const std::string log = finish();
    EXPECT_NE(log.find(GetParam().logged), std::string::npos) << log;
    EXPECT_TRUE(port().usable());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnixClientReplyFaults,
    testing::Values(ReplyFault{"LongerThanBuffer", [](EchoTransport& t) { t.replyExtra = 4096 - 100 + 1; },
                               "ERROR : Failed to transmit USB cmd to SERIAL01.\n"},
                    ReplyFault{"TransportOverstatesLength", [](EchoTransport& t) { t.overstateReply = true; },
                               "ERROR : Token reply of 4097 bytes is longer than 4096; dropped.\n"}),
    [](const testing::TestParamInfo<ReplyFault>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vexa::daemon
