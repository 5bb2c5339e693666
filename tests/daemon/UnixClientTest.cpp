#include <gtest/gtest.h>
#include <sys/socket.h>

#include <thread>

#include "CapturedLog.h"
#include "EchoTransport.h"
#include "SocketClient.h"
#include "UnixClient.h"

namespace vexa::daemon {
namespace {

using namespace test;
using namespace std::chrono_literals;

// One connection served by HandleUnixClient on its own thread, over a
// socketpair, with a fake token behind the port. The daemon's log is
// captured until finish().
class UnixClientTest : public testing::Test {
protected:
    void SetUp() override
    {
        m_log = std::make_unique<CapturedLog>();
        auto owned = std::make_unique<EchoTransport>();
        m_fake = owned.get();
        m_port = std::make_unique<CThreadSafeUSBPort>("SERIAL01", std::move(owned));
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        m_client = std::make_unique<SocketClient>(fds[0]);
        m_server = std::thread(HandleUnixClient, fds[1], m_port.get());
    }

    void TearDown() override { finish(); }

    // Closes the client, waits for the connection thread and returns the log.
    std::string finish()
    {
        m_client.reset();
        if (m_server.joinable()) {
            m_server.join();
        }
        return m_log->text();
    }

    SocketClient& client() { return *m_client; }
    EchoTransport& token() { return *m_fake; }

private:
    EchoTransport* m_fake = nullptr;
    std::unique_ptr<CThreadSafeUSBPort> m_port;
    std::unique_ptr<SocketClient> m_client;
    std::unique_ptr<CapturedLog> m_log;
    std::thread m_server;
};

TEST_F(UnixClientTest, RepliesToEachRequestInTurn)
{
    for (size_t length : {1u, 59u, 60u, 4095u, 4096u}) {
        const Bytes request = Pattern(length, static_cast<uint8_t>(length));
        EXPECT_EQ(client().exchange(request, length), Reversed(request)) << length;
    }
    EXPECT_EQ(token().requests().size(), 5u);
    const std::string log = finish();
    EXPECT_NE(log.find("INFO : short len read\n"), std::string::npos);
    EXPECT_NE(log.find("INFO : Reading packet from socket failed.\n"), std::string::npos);
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

// Served on the test's own thread after the client has gone: the reply
// cannot be written, and the daemon must survive it (no SIGPIPE).
TEST(UnixClientGone, ReplyToAClosedConnectionEndsOnlyThatConnection)
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
    EXPECT_EQ(token->requests(), (std::vector<Bytes>{{1, 2}}));
    EXPECT_TRUE(port.usable());
    EXPECT_NE(log.text().find("ERROR : Socket write failed.\n"), std::string::npos) << log.text();
}

}  // namespace
}  // namespace vexa::daemon
