// The TLS listener in-process, with a fake token behind each connection.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "CapturedLog.h"
#include "EchoTransport.h"
#include "TestProcess.h"
#include "TlsClientHandler.h"
#include "TlsListener.h"
#include "TlsTestClient.h"

namespace vexa::daemon {
namespace {

using namespace test;
using namespace std::chrono_literals;

class TlsListenerTest : public testing::Test {
protected:
    void TearDown() override { log(); }

    TlsSettings settings() const
    {
        TlsSettings tls;
        tls.certFile = Certificates().certFile();
        tls.caFile = Certificates().caFile();
        tls.keyFile = Certificates().keyFile();
        tls.bindAddress = "127.0.0.1";
        tls.port = "0";
        return tls;
    }

    // Sets the listener up and, on a thread, accepts `clients` connections
    // and serves them until they have ended.
    void serve(int clients, TlsSettings tls)
    {
        ASSERT_EQ(setUpTlsServer(m_context, tls), 0);
        sockaddr_in address{};
        socklen_t length = sizeof address;
        getsockname(m_context.listener.fd, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = std::to_string(ntohs(address.sin_port));
        m_listener = std::make_unique<CTlsListener>(m_context, m_token, tls.maxClients);
        m_server = std::thread([this, clients] { m_listener->run(static_cast<uint64_t>(clients)); });
    }
    void serve(int clients = 1) { serve(clients, settings()); }

    std::unique_ptr<TlsTestClient> connect(const ClientCredentials& credentials = {})
    {
        auto client = std::make_unique<TlsTestClient>(Certificates().caFile(), credentials);
        EXPECT_TRUE(client->connect(m_port));
        return client;
    }
    std::unique_ptr<TlsTestClient> connected(const ClientCredentials& credentials = {})
    {
        auto client = connect(credentials);
        EXPECT_EQ(client->handshake(), 0);
        return client;
    }

    // Waits for the server thread and returns the daemon's log so far.
    std::string log()
    {
        if (m_server.joinable()) {
            m_server.join();
        }
        return m_log.text();
    }

    // The fake behind the token's port as opened the n-th time (from 0).
    std::shared_ptr<EchoTransport> fake(size_t n = 0)
    {
        std::lock_guard<std::mutex> lock(m_fakesMutex);
        return n < m_fakes.size() ? m_fakes[n] : nullptr;
    }
    size_t timesOpened()
    {
        std::lock_guard<std::mutex> lock(m_fakesMutex);
        return m_fakes.size();
    }
    // Requests of every opening, in order.
    std::vector<Bytes> tokenRequests()
    {
        std::lock_guard<std::mutex> lock(m_fakesMutex);
        std::vector<Bytes> all;
        for (const auto& one : m_fakes) {
            const auto requests = one->requests();
            all.insert(all.end(), requests.begin(), requests.end());
        }
        return all;
    }

    std::atomic<bool> tokenMissing{false};     // the token cannot be opened
    std::atomic<bool> tokenAttached{true};     // what the listener's look for the token finds
    std::atomic<int> foundGone{0};             // looks that found the token gone
    std::atomic<bool> tokenWriteFails{false};  // for fakes opened from now on
    std::atomic<size_t> tokenReplyExtra{0};    // the same: bytes added to each reply

    std::string m_port;

private:
    PortPtr openToken()
    {
        if (tokenMissing) {
            return nullptr;
        }
        auto fake = std::make_shared<EchoTransport>();
        fake->failWrite = tokenWriteFails.load();
        fake->replyExtra = tokenReplyExtra.load();
        {
            std::lock_guard<std::mutex> lock(m_fakesMutex);
            m_fakes.push_back(fake);
        }
        return PortPtr(new CThreadSafeUSBPort("FAKE", std::make_unique<SharedTransport>(fake)), DestroyPort);
    }

    // Lets the test reach the fake that the port owns.
    struct SharedTransport : public corvel::CTransport {
        explicit SharedTransport(std::shared_ptr<EchoTransport> fake) : fake(std::move(fake)) {}
        bool isOpen() override { return true; }
        uint32_t getTimeout() override { return 0; }
        const char* getName() override { return "SHARED"; }
        size_t read(uint8_t* buffer, size_t capacity) override { return fake->read(buffer, capacity); }
        size_t write(const std::vector<uint8_t>& data) override { return fake->write(data); }
        size_t write(const uint8_t* data, size_t length) override { return fake->write(data, length); }
        std::shared_ptr<EchoTransport> fake;
    };

    CapturedLog m_log;
    std::mutex m_fakesMutex;  // guards m_fakes
    std::vector<std::shared_ptr<EchoTransport>> m_fakes;
    TlsServerContext m_context;
    CTlsToken m_token{[this] { return openToken(); },
                      [this](const std::string&) {
                          const bool attached = tokenAttached;
                          foundGone += attached ? 0 : 1;
                          return attached;
                      }};
    std::unique_ptr<CTlsListener> m_listener;
    std::thread m_server;
};

TEST_F(TlsListenerTest, ForwardsToTokenAndEchoesOtherCommands)
{
    serve();
    auto client = connected();
    const Bytes largest = Pattern(4096);
    ASSERT_TRUE(client->send(MakePacket(largest)));
    EXPECT_EQ(client->receive(4096), Reversed(largest));
    ASSERT_TRUE(client->send(MakePacket({1, 2, 3}, 7)));
    EXPECT_EQ(client->receive(3), (Bytes{1, 2, 3}));
    ASSERT_TRUE(client->send(MakePacket({})));  // no reply from the token, none on the wire
    ASSERT_TRUE(client->send(MakePacket({4, 5})));
    EXPECT_EQ(client->receive(2), (Bytes{5, 4}));
    client->closeNotify();
    EXPECT_NE(log().find("INFO : TLS read failed, connection closed by peer.\n"), std::string::npos);
    EXPECT_EQ(tokenRequests(), (std::vector<Bytes>{largest, {}, {4, 5}}));
}

struct EndCase {
    const char* name;
    Bytes sent;
    bool closeNotify;
    std::vector<std::string> logged;
};

void PrintTo(const EndCase& c, std::ostream* out) { *out << c.name; }

class TlsListenerEnds : public TlsListenerTest, public testing::WithParamInterface<EndCase> {};

TEST_P(TlsListenerEnds, ClosesConnectionAndLogsWhy)
{
    serve();
    auto client = connected();
    ASSERT_TRUE(client->send(GetParam().sent));
    if (GetParam().closeNotify) {
        client->closeNotify();
    } else {
        EXPECT_TRUE(client->closedByPeer());
    }
    const std::string text = log();
    for (const std::string& line : GetParam().logged) {
        EXPECT_NE(text.find(line), std::string::npos) << line << " in:\n" << text;
    }
    EXPECT_TRUE(tokenRequests().empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, TlsListenerEnds,
                         testing::Values(EndCase{"LengthAboveLimit",
                                                 MakePacket(Pattern(4097)),
                                                 false,
                                                 {"ERROR : packet len too big 4097\n"}},
                                         EndCase{"PayloadCutShort",
                                                 MakePacket({1, 2, 3, 4}, 0, 10),
                                                 true,
                                                 {"INFO : TLS read failed, connection closed by peer.\n",
                                                  "ERROR : Short packet read, expected 10 got 4\n"}},
                                         EndCase{"PartialHeader", {1, 0}, true, {"INFO : short len read\n"}}),
                         [](const testing::TestParamInfo<EndCase>& info) { return std::string(info.param.name); });

// A token that cannot be written to has gone: the connection ends, and the
// next client gets the token opened again.
TEST_F(TlsListenerTest, TokenWriteFailureEndsConnectionAndTheTokenIsOpenedAgain)
{
    tokenWriteFails = true;
    serve(2);
    auto client = connected();
    ASSERT_TRUE(client->send(MakePacket({1})));
    EXPECT_TRUE(client->closedByPeer());
    tokenWriteFails = false;
    auto next = connected();
    ASSERT_TRUE(next->send(MakePacket({1, 2})));
    EXPECT_EQ(next->receive(2), (Bytes{2, 1}));
    next->closeNotify();
    EXPECT_NE(log().find("ERROR : Failed to send USB cmd to FAKE.\n"), std::string::npos);
    EXPECT_EQ(timesOpened(), 2u);
}

// A reply that does not fit the daemon's buffer ends that connection; no byte
// of it reaches the client. The token stays open for the next.
TEST_F(TlsListenerTest, OverlongTokenReplyEndsTheConnection)
{
    tokenReplyExtra = 4096;
    serve(2);
    auto first = connected();
    ASSERT_TRUE(first->send(MakePacket({1, 2})));
    EXPECT_EQ(first->receive(1), Bytes{});
    fake()->replyExtra = 0;
    auto second = connected();
    ASSERT_TRUE(second->send(MakePacket({1, 2})));
    EXPECT_EQ(second->receive(2), (Bytes{2, 1}));
    second->closeNotify();
    EXPECT_NE(log().find("Error reading from portreply too long\n"), std::string::npos);
    EXPECT_EQ(timesOpened(), 1u);
}

TEST_F(TlsListenerTest, MissingTokenClosesAfterHandshakeAndNextClientIsServed)
{
    tokenMissing = true;
    serve(2);
    auto first = connected();
    EXPECT_TRUE(first->closedByPeer());
    tokenMissing = false;
    auto second = connected();
    ASSERT_TRUE(second->send(MakePacket({1, 2})));
    EXPECT_EQ(second->receive(2), (Bytes{2, 1}));
    second->closeNotify();
    EXPECT_NE(log().find("ERROR : Could not open device on USB transport.\n"), std::string::npos);
}

// Clients are served at once, each its own replies, through the one port.
TEST_F(TlsListenerTest, ClientsAreServedAtOnce)
{
    constexpr int kClients = 4;
    serve(kClients);
    std::vector<std::unique_ptr<TlsTestClient>> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(connected());
    }
    for (uint8_t round = 0; round < 3; ++round) {
        for (int i = 0; i < kClients; ++i) {
            ASSERT_TRUE(clients[i]->send(MakePacket({round, static_cast<uint8_t>(i), 7})));
        }
        for (int i = 0; i < kClients; ++i) {
            EXPECT_EQ(clients[i]->receive(3), (Bytes{7, static_cast<uint8_t>(i), round}));
        }
    }
    for (auto& client : clients) {
        client->closeNotify();
    }
    log();
    EXPECT_EQ(timesOpened(), 1u);
    EXPECT_EQ(fake()->overlaps.load(), 0);
}

// Beyond the maximum a client waits in the backlog until one leaves.
TEST_F(TlsListenerTest, ClientBeyondTheMaximumWaitsForOneToLeave)
{
    TlsSettings tls = settings();
    tls.maxClients = 1;
    serve(2, tls);
    auto first = connected();
    auto second = connect();
    EXPECT_EQ(second->handshake(300ms), MBEDTLS_ERR_SSL_TIMEOUT);
    ASSERT_TRUE(first->send(MakePacket({1})));
    EXPECT_EQ(first->receive(1), (Bytes{1}));
    first->closeNotify();
    ASSERT_EQ(second->handshake(), 0);
    ASSERT_TRUE(second->send(MakePacket({2, 3})));
    EXPECT_EQ(second->receive(2), (Bytes{3, 2}));
    second->closeNotify();
    EXPECT_NE(log().find("INFO : Serving the most TLS clients at once (1); more wait.\n"), std::string::npos);
}

// A token found gone is let go: the connections served with it end at their
// next request, and a new client gets it opened again.
TEST_F(TlsListenerTest, TokenFoundGoneIsOpenedAgainForTheNextClient)
{
    serve(2);
    auto first = connected();
    ASSERT_TRUE(first->send(MakePacket({1, 2})));
    EXPECT_EQ(first->receive(2), (Bytes{2, 1}));
    tokenAttached = false;
    ASSERT_TRUE(WaitUntil([this] { return foundGone > 0; }, 5s));
    ASSERT_TRUE(first->send(MakePacket({3})));
    EXPECT_TRUE(first->closedByPeer());
    tokenAttached = true;
    auto second = connected();
    ASSERT_TRUE(second->send(MakePacket({4, 5})));
    EXPECT_EQ(second->receive(2), (Bytes{5, 4}));
    second->closeNotify();
    const std::string text = log();
    EXPECT_NE(text.find("ERROR : USB port of FAKE is no longer in service.\n"), std::string::npos) << text;
    EXPECT_EQ(timesOpened(), 2u);
    EXPECT_EQ(tokenRequests(), (std::vector<Bytes>{{1, 2}, {4, 5}}));
}

const std::string kTimeoutCode = std::to_string(MBEDTLS_ERR_SSL_TIMEOUT);

// Joins a thread on every way out of a test, a failed assertion included.
struct JoinOnExit {
    ~JoinOnExit()
    {
        if (thread.joinable()) {
            thread.join();
        }
    }
    std::thread& thread;
};

TEST_F(TlsListenerTest, SilentClientIsDroppedAfterReadTimeout)
{
    TlsSettings tls = settings();
    tls.readTimeout = 300;
    serve(1, tls);
    auto silent = connected();
    EXPECT_TRUE(silent->closedByPeer(5s));
    const std::string text = log();
    EXPECT_NE(text.find("ERROR : TLS read failed " + kTimeoutCode + " : " + tlsErrorText(MBEDTLS_ERR_SSL_TIMEOUT)),
              std::string::npos)
        << text;
}

// Sends nothing, or its ClientHello one byte every 200 ms: either would hold
// the listener far longer than the test waits if each read had its own
// time-out.
struct SlowPeer {
    const char* name;
    bool trickles;
};

void PrintTo(const SlowPeer& c, std::ostream* out) { *out << c.name; }

class TlsHandshakeDeadline : public TlsListenerTest, public testing::WithParamInterface<SlowPeer> {};

TEST_P(TlsHandshakeDeadline, SlowPeerIsDroppedAndTheNextClientServed)
{
    TlsSettings tls = settings();
    tls.handshakeTimeout = 300;  // the read time-out stays 60 s
    serve(2, tls);
    auto slow = connect();
    std::thread slowHandshake;
    const JoinOnExit joinSlow{slowHandshake};
    if (GetParam().trickles) {
        slow->trickle(200ms);
        slowHandshake = std::thread([&slow] { EXPECT_NE(slow->handshake(20s), 0); });
    }
    auto next = connect();
    ASSERT_EQ(next->handshake(10s), 0);
    ASSERT_TRUE(next->send(MakePacket({1, 2})));
    EXPECT_EQ(next->receive(2), (Bytes{2, 1}));
    next->closeNotify();
    const std::string text = log();
    EXPECT_NE(text.find("ERROR : ssl handshake returned " + kTimeoutCode + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find("ERROR : TLS client 127.0.0.1 did not finish its handshake within 300 ms; dropped.\n"),
              std::string::npos)
        << text;
}

INSTANTIATE_TEST_SUITE_P(Peers, TlsHandshakeDeadline,
                         testing::Values(SlowPeer{"SendsNothing", false}, SlowPeer{"TricklesClientHello", true}),
                         [](const testing::TestParamInfo<SlowPeer>& info) { return std::string(info.param.name); });

// A request trickled in one-byte records, each well within the read time-out
// of the one before, must still arrive whole within the read time-out of its
// first byte.
struct TrickledRequest {
    const char* name;
    size_t sentAtOnce;  // bytes of the packet sent in one record before the trickle
    std::chrono::milliseconds pause;
    std::vector<std::string> logged;
};

void PrintTo(const TrickledRequest& c, std::ostream* out) { *out << c.name; }

class TlsRequestDeadline : public TlsListenerTest, public testing::WithParamInterface<TrickledRequest> {};

TEST_P(TlsRequestDeadline, TricklingClientIsDroppedAndTheNextServed)
{
    const TrickledRequest& c = GetParam();
    TlsSettings tls = settings();
    tls.readTimeout = 500;
    serve(2, tls);
    auto slow = connected();
    const Bytes packet = MakePacket(Pattern(100));
    size_t sent = c.sentAtOnce;
    ASSERT_TRUE(slow->send(Bytes(packet.begin(), packet.begin() + static_cast<long>(sent))));
    std::thread trickle([&] {
        for (; sent < packet.size() && slow->send({packet[sent]}); ++sent) {
            std::this_thread::sleep_for(c.pause);
        }
    });
    const JoinOnExit joinTrickle{trickle};
    auto next = connect();
    ASSERT_EQ(next->handshake(10s), 0);
    ASSERT_TRUE(next->send(MakePacket({1, 2})));
    EXPECT_EQ(next->receive(2), (Bytes{2, 1}));
    next->closeNotify();
    trickle.join();
    EXPECT_LT(sent, packet.size());
    const std::string text = log();
    for (const std::string& line : c.logged) {
        EXPECT_NE(text.find(line), std::string::npos) << line << " in:\n" << text;
    }
    EXPECT_EQ(tokenRequests(), (std::vector<Bytes>{{1, 2}}));
}

INSTANTIATE_TEST_SUITE_P(Requests, TlsRequestDeadline,
                         testing::Values(TrickledRequest{"Header", 0, 300ms, {"INFO : short len read\n"}},
                                         TrickledRequest{"Payload",
                                                         5,
                                                         100ms,
                                                         {"ERROR : TLS read failed " + kTimeoutCode + " : ",
                                                          "ERROR : Short packet read, expected 100 got "}}),
                         [](const testing::TestParamInfo<TrickledRequest>& info) {
                             return std::string(info.param.name);
                         });

// The deadline is per request: a connection that lives longer than the read
// time-out, with requests spaced well within it, is served throughout.
TEST_F(TlsListenerTest, RequestsSpacedWithinTheReadTimeoutAreServed)
{
    TlsSettings tls = settings();
    tls.readTimeout = 1500;
    serve(1, tls);
    auto client = connected();
    for (uint8_t i = 0; i < 4; ++i) {
        if (i != 0) {
            std::this_thread::sleep_for(600ms);
        }
        ASSERT_TRUE(client->send(MakePacket({i, 9})));
        EXPECT_EQ(client->receive(2), (Bytes{9, i}));
    }
    client->closeNotify();
}

class TlsClientCertificates : public TlsListenerTest {
protected:
    TlsSettings settings() const
    {
        TlsSettings tls = TlsListenerTest::settings();
        tls.clientCaFile = Certificates().clientCaFile();
        return tls;
    }
};

// Only a client whose certificate comes from the client CA is served; the
// others are refused in the handshake and the listener goes on.
TEST_F(TlsClientCertificates, OnlyClientsOfTheClientCaAreServed)
{
    serve(3, settings());
    EXPECT_NE(connect()->handshake(), 0);
    EXPECT_NE(connect(Certificates().foreignClient())->handshake(), 0);
    auto client = connected(Certificates().client());
    ASSERT_TRUE(client->send(MakePacket({1, 2})));
    EXPECT_EQ(client->receive(2), (Bytes{2, 1}));
    client->closeNotify();
    const std::string text = log();
    EXPECT_NE(text.find("INFO : Clients need a certificate issued from " + Certificates().clientCaFile() + "\n"),
              std::string::npos);
    EXPECT_EQ(LinesContaining(text, "ERROR : TLS client 127.0.0.1 refused: ").size(), 2u) << text;
    EXPECT_EQ(tokenRequests(), (std::vector<Bytes>{{1, 2}}));
}

TEST_F(TlsClientCertificates, UnreadableClientCaStopsTheSetUp)
{
    TlsSettings tls = settings();
    tls.clientCaFile = Certificates().dir.file("no-such-ca.pem");
    TlsServerContext context;
    EXPECT_EQ(setUpTlsServer(context, tls), MBEDTLS_ERR_PK_FILE_IO_ERROR);
    EXPECT_NE(log().find("ERROR : client CA file " + tls.clientCaFile + " parse returned: -15872\n"),
              std::string::npos);
}

}  // namespace
}  // namespace vexa::daemon
