// vexa-daemon over TLS: set-up failures and their exit statuses, and serving
// a simulated token (echo firmware: each reply is the request reversed).
#include <gtest/gtest.h>
#include <mbedtls/error.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/pk.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "TestProcess.h"
#include "TlsClientHandler.h"
#include "TlsTestClient.h"
#include "TokenSimulator.h"

namespace vexa::daemon {
namespace {

using namespace test;
using namespace std::chrono_literals;

const std::string kSerial = "00000000000A";

class TlsEndToEnd : public testing::Test {
protected:
    void TearDown() override
    {
        m_daemon.reset();  // before the simulator it may use
        m_sim.reset();
    }

    std::vector<std::string> daemonArgs(const std::string& port) const
    {
        return {VEXA_DAEMON_PATH,
                "-i",
                "127.0.0.1",
                "-p",
                port,
                "-crt",
                Certificates().certFile(),
                "-ca",
                Certificates().caFile(),
                "-key",
                Certificates().keyFile()};
    }

    // Starts the daemon on a free port (another on a clash) and waits until
    // it accepts TCP connections.
    void startServing(std::vector<std::string> extraArgs, Environment environment)
    {
        if (m_sim != nullptr) {
            const Environment tokens = m_sim->environment();
            environment.insert(environment.end(), tokens.begin(), tokens.end());
        }
        for (int attempt = 0; attempt < 5; ++attempt) {
            port = FreeTcpPort();
            std::vector<std::string> args = daemonArgs(port);
            args.insert(args.end(), extraArgs.begin(), extraArgs.end());
            ProcessOptions options;
            options.environment = environment;
            m_daemon = std::make_unique<ChildProcess>(args, options);
            if (WaitUntil([&] { return !m_daemon->running() || Accepts(port); }, 10s) && m_daemon->running()) {
                return;
            }
        }
        FAIL() << "the daemon does not listen: " << m_daemon->err();
    }

    static bool Accepts(const std::string& port)
    {
        mbedtls_net_context net;
        mbedtls_net_init(&net);
        const bool connected = mbedtls_net_connect(&net, "127.0.0.1", port.c_str(), MBEDTLS_NET_PROTO_TCP) == 0;
        mbedtls_net_free(&net);
        return connected;
    }

    std::unique_ptr<TlsTestClient> connected(const ClientCredentials& credentials = {})
    {
        auto client = std::make_unique<TlsTestClient>(Certificates().caFile(), credentials);
        EXPECT_TRUE(client->connect(port));
        EXPECT_EQ(client->handshake(), 0);
        return client;
    }

    std::string port;
    std::unique_ptr<vexa::test::TokenSimulator> m_sim;
    std::unique_ptr<ChildProcess> m_daemon;
};

std::string CodeLine(const char* prefix, int code) { return std::string(prefix) + std::to_string(code); }

std::string LastErrorLine(int code)
{
    return "ERROR : Last error message was: " + std::to_string(code) + " - " + tlsErrorText(code) + "\n";
}

TEST_F(TlsEndToEnd, SetUpFailuresEndWithTheirCode)
{
    TempDir scratch;
    WriteFile(scratch.file("not-a-ca.pem"), "no certificate here\n");
    // A listening socket holds the port for the clash.
    const int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string busyPort = std::to_string(ntohs(address.sin_port));

    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::string password;  // empty: VEXA_KEY_PASS unset
        std::vector<std::string> lines;
        int status;  // the code's low 8 bits; 1 where those are 0
    };
    const std::string missing = scratch.file("missing.pem");
    const Case cases[] = {
        {"missing certificate",
         {"-crt", missing},
         "",
         {"ERROR : Failed to open cert file " + missing + ": -15872\n", LastErrorLine(MBEDTLS_ERR_PK_FILE_IO_ERROR)},
         1},
        {"unreadable CA", {"-ca", scratch.file("not-a-ca.pem")}, "", {"ERROR : CA cert chain parse returned: "}, -1},
        {"encrypted key without password",
         {"-key", Certificates().encryptedKeyFile()},
         "",
         {CodeLine("ERROR : server key parse returned: ", MBEDTLS_ERR_PK_PASSWORD_REQUIRED) + "\n",
          LastErrorLine(MBEDTLS_ERR_PK_PASSWORD_REQUIRED)},
         1},
        {"encrypted key with wrong password",
         {"-key", Certificates().encryptedKeyFile()},
         "wrong",
         {CodeLine("ERROR : server key parse returned: ", MBEDTLS_ERR_PK_PASSWORD_MISMATCH) + "\n"},
         MBEDTLS_ERR_PK_PASSWORD_MISMATCH & 0xFF},
        {"unreadable client CA",
         {"-cca", missing},
         "",
         {"ERROR : client CA file " + missing + " parse returned: -15872\n",
          LastErrorLine(MBEDTLS_ERR_PK_FILE_IO_ERROR)},
         1},
        {"port in use",
         {"-p", busyPort},
         "",
         {"INFO : Binding on 127.0.0.1:" + busyPort + "\n",
          CodeLine("ERROR : bind returned ", MBEDTLS_ERR_NET_BIND_FAILED) + "\n",
          LastErrorLine(MBEDTLS_ERR_NET_BIND_FAILED)},
         MBEDTLS_ERR_NET_BIND_FAILED & 0xFF},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = daemonArgs(FreeTcpPort());
        args.insert(args.end(), {"-t", "tls"});
        args.insert(args.end(), c.args.begin(), c.args.end());  // the first of a repeated option wins...
        for (size_t i = 0; i + 1 < c.args.size(); i += 2) {     // ...so drop the default one
            if (std::count(args.begin(), args.end(), c.args[i]) > 1) {
                const auto option = std::find(args.begin(), args.end(), c.args[i]);
                args.erase(option, option + 2);
            }
        }
        ProcessOptions options;
        options.environment = {{"VEXA_KEY_PASS", c.password}};
        const ProcessResult result = RunProcess(args, options);
        if (c.status >= 0) {
            EXPECT_EQ(result.status, c.status) << c.name;
        } else {
            EXPECT_NE(result.status, 0) << c.name;
        }
        for (const std::string& line : c.lines) {
            EXPECT_NE((result.out + result.err).find(line), std::string::npos) << c.name << ": " << line << " in\n"
                                                                               << result.out << result.err;
        }
    }
    close(holder);
}

TEST_F(TlsEndToEnd, ServesTokenWithEncryptedKey)
{
    m_sim = std::make_unique<vexa::test::TokenSimulator>(
        std::vector<std::string>{"--firmware", "echo", "--token", kSerial});
    startServing({"-key", Certificates().encryptedKeyFile(), "-d", kSerial},
                 {{"VEXA_KEY_PASS", TestCertificates::kKeyPassword}});
    for (int connection = 0; connection < 2; ++connection) {
        auto client = connected();
        const Bytes request = Pattern(1000, static_cast<uint8_t>(connection));
        ASSERT_TRUE(client->send(MakePacket(request)));
        EXPECT_EQ(client->receive(request.size()), Reversed(request));
        ASSERT_TRUE(client->send(MakePacket({1, 2, 3}, 1)));
        EXPECT_EQ(client->receive(3), (Bytes{1, 2, 3}));
        client->closeNotify();
    }
    EXPECT_EQ(m_daemon->err().find("not found on startup"), std::string::npos) << m_daemon->err();
}

TEST_F(TlsEndToEnd, WithClientCaOnlyItsClientsAreServed)
{
    m_sim = std::make_unique<vexa::test::TokenSimulator>(
        std::vector<std::string>{"--firmware", "echo", "--token", kSerial});
    startServing({"-cca", Certificates().clientCaFile(), "-d", kSerial}, {});
    auto anonymous = std::make_unique<TlsTestClient>(Certificates().caFile());
    ASSERT_TRUE(anonymous->connect(port));
    EXPECT_NE(anonymous->handshake(), 0);
    EXPECT_TRUE(m_daemon->waitForOutput("ERROR : TLS client 127.0.0.1 refused: ", 5s)) << m_daemon->err();
    auto client = connected(Certificates().client());
    ASSERT_TRUE(client->send(MakePacket({1, 2, 3})));
    EXPECT_EQ(client->receive(3), (Bytes{3, 2, 1}));
    client->closeNotify();
}

// Sixteen clients (the default maximum) at once, each its own requests: every
// reply is the one to its own request.
TEST_F(TlsEndToEnd, SixteenClientsAtOnceEachGetTheirOwnReplies)
{
    constexpr int kClients = 16;
    constexpr int kRequests = 50;
    m_sim = std::make_unique<vexa::test::TokenSimulator>(
        std::vector<std::string>{"--firmware", "echo", "--token", kSerial});
    startServing({"-d", kSerial}, {});
    std::atomic<int> right{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < kClients; ++c) {
        threads.emplace_back([&, c] {
            TlsTestClient client(Certificates().caFile());
            if (!client.connect(port) || client.handshake(30s) != 0) {
                return;
            }
            for (int i = 0; i < kRequests; ++i) {
                const Bytes request = Pattern(static_cast<size_t>(16 + (c * kRequests + i) % 200),
                                              static_cast<uint8_t>(c * kRequests + i));
                if (!client.send(MakePacket(request)) || client.receive(request.size(), 30s) != Reversed(request)) {
                    return;
                }
                ++right;
            }
            client.closeNotify();
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(right.load(), kClients * kRequests) << m_daemon->err();
}

// What the port offers, as openssl s_client finds it: TLS 1.2 with ECDHE and
// an AEAD cipher, nothing older, no CBC, no static key exchange.
TEST_F(TlsEndToEnd, OnlyModernTlsIsOffered)
{
    m_sim = std::make_unique<vexa::test::TokenSimulator>(
        std::vector<std::string>{"--firmware", "echo", "--token", kSerial});
    startServing({"-d", kSerial}, {});
    const struct {
        const char* name;
        std::vector<std::string> offer;
        bool served;
    } cases[] = {
        {"TLS 1.2 ECDHE AES-GCM", {"-tls1_2", "-cipher", "ECDHE-ECDSA-AES128-GCM-SHA256"}, true},
        {"TLS 1.2 ECDHE AES-256-GCM", {"-tls1_2", "-cipher", "ECDHE-ECDSA-AES256-GCM-SHA384"}, true},
        {"TLS 1.2 ECDHE ChaCha20", {"-tls1_2", "-cipher", "ECDHE-ECDSA-CHACHA20-POLY1305"}, true},
        {"TLS 1.1", {"-tls1_1", "-cipher", "DEFAULT:@SECLEVEL=0"}, false},
        {"TLS 1.0", {"-tls1", "-cipher", "DEFAULT:@SECLEVEL=0"}, false},
        {"TLS 1.2 RSA AES-CBC", {"-tls1_2", "-cipher", "AES128-SHA"}, false},
        {"TLS 1.2 ECDHE AES-CBC", {"-tls1_2", "-cipher", "ECDHE-ECDSA-AES128-SHA256"}, false},
        {"TLS 1.3", {"-tls1_3"}, false},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{"openssl",   "s_client",          "-brief",
                                      "-connect",  "127.0.0.1:" + port, "-servername",
                                      "localhost", "-CAfile",           Certificates().caFile()};
        argv.insert(argv.end(), c.offer.begin(), c.offer.end());
        const ProcessResult result = RunProcess(argv);
        const std::string output = result.out + result.err;
        const bool established = output.find("CONNECTION ESTABLISHED") != std::string::npos;
        if (c.served) {
            EXPECT_EQ(result.status, 0) << c.name << ":\n" << output;
            EXPECT_TRUE(established) << c.name << ":\n" << output;
            EXPECT_NE(output.find("Protocol version: TLSv1.2"), std::string::npos) << c.name << ":\n" << output;
            EXPECT_NE(output.find("Verification: OK"), std::string::npos) << c.name << ":\n" << output;
        } else {
            EXPECT_FALSE(established) << c.name << ":\n" << output;
            EXPECT_NE(result.status, 0) << c.name << ":\n" << output;
        }
    }
}

TEST_F(TlsEndToEnd, WithoutTokenHandshakeSucceedsThenConnectionCloses)
{
    // "-d" as the last word: no serial, so the first token found would serve.
    startServing({"-d"}, {});
    auto client = connected();
    EXPECT_TRUE(client->closedByPeer());
    EXPECT_TRUE(m_daemon->waitForOutput("ERROR : Could not open device on USB transport.\n", 5s)) << m_daemon->err();
    EXPECT_NE(m_daemon->err().find("ERROR : Warning, device  not found on startup.\n"), std::string::npos);
    EXPECT_NE(m_daemon->out().find("INFO : Device SN: \n"), std::string::npos);
}

}  // namespace
}  // namespace vexa::daemon
