#include <gtest/gtest.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/ssl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "Exception.h"
#include "FakeDaemon.h"
#include "IoFailure.h"
#include "Process.h"
#include "RecordingLog.h"
#include "RefusingPort.h"
#include "StalledListener.h"
#include "TCPTransport.h"
#include "TempDir.h"
#include "TestCertificates.h"
#include "TlsTestServer.h"

using corvel::kLogError;
using corvel::TCPTransport;
using vexa::test::FakeReply;
using vexa::test::IoFailure;
using vexa::test::ioFailure;
using vexa::test::TlsTestServer;

namespace {

std::vector<uint8_t> bytes(const std::string& text) { return {text.begin(), text.end()}; }

// openssl s_server with the test certificate, offering what `offer` allows.
class OpensslServer {
public:
    OpensslServer(const vexa::test::TestCertificates& certs, const std::vector<std::string>& offer)
    {
        std::vector<std::string> argv{"openssl", "s_server",       "-accept", "0",
                                      "-cert",   certs.serverCert, "-key",    certs.serverKey};
        argv.insert(argv.end(), offer.begin(), offer.end());
        m_process = std::make_unique<vexa::test::InteractiveProcess>(argv);
        // "ACCEPT [::]:PORT" once it listens.
        const auto line = m_process->readUntil("ACCEPT ", std::chrono::seconds(10));
        if (line && line->rfind(':') != std::string::npos) {
            m_port = std::atoi(line->c_str() + line->rfind(':') + 1);
        }
    }
    bool listening() const { return m_port > 0; }
    int port() const { return m_port; }
    std::string output() const { return m_process->transcript(); }

private:
    std::unique_ptr<vexa::test::InteractiveProcess> m_process;
    int m_port = 0;
};

std::string hexCode(int code)
{
    char text[16];
    std::snprintf(text, sizeof text, "%x", static_cast<unsigned>(code));
    return text;
}

class TcpTransportTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir = new vexa::test::TempDir();
        certs = vexa::test::makeTestCertificates(dir->path());
        clients = vexa::test::makeClientCertificates(dir->path());
    }
    static void TearDownTestSuite()
    {
        delete dir;
        dir = nullptr;
    }

    std::unique_ptr<TCPTransport> connectTo(const TlsTestServer& server, const std::string& caFile = certs.caCert)
    {
        return std::make_unique<TCPTransport>("localhost", server.port(), caFile, &log);
    }

    static vexa::test::TempDir* dir;
    static vexa::test::TestCertificates certs;
    static vexa::test::ClientCertificates clients;
    vexa::test::RecordingLog log;
};

vexa::test::TempDir* TcpTransportTest::dir = nullptr;
vexa::test::TestCertificates TcpTransportTest::certs;
vexa::test::ClientCertificates TcpTransportTest::clients;

// Sets VEXA_CLIENT_KEY_PASS (or unsets it, for nullptr) for one scope.
class ClientKeyPassword {
public:
    explicit ClientKeyPassword(const char* password)
    {
        if (password != nullptr) {
            ::setenv(corvel::kClientKeyPasswordVariable, password, 1);
        } else {
            ::unsetenv(corvel::kClientKeyPasswordVariable);
        }
    }
    ~ClientKeyPassword() { ::unsetenv(corvel::kClientKeyPasswordVariable); }
    ClientKeyPassword(const ClientKeyPassword&) = delete;
    ClientKeyPassword& operator=(const ClientKeyPassword&) = delete;
};

TEST_F(TcpTransportTest, SendsAbcAsOneClientPacketAndReadsTheReply)
{
    TlsTestServer server(certs.serverCert, certs.serverKey, vexa::test::reverseReply);
    auto transport = connectTo(server);
    EXPECT_NO_THROW(transport->open());
    ASSERT_TRUE(transport->isOpen());

    EXPECT_EQ(transport->write(bytes("abc")), 3u);
    uint8_t reply[2048];
    ASSERT_EQ(transport->read(reply, sizeof reply), 3u);
    EXPECT_EQ(std::string(reply, reply + 3), "cba");
    ASSERT_TRUE(server.log().waitFor(1));
    EXPECT_EQ(server.log().packets()[0].bytes, (std::vector<uint8_t>{0x03, 0, 0, 0, 0, 0x61, 0x62, 0x63}));
    EXPECT_STREQ(transport->getName(), "TCP");
    EXPECT_TRUE(log.contains(corvel::kLogInfo, "Connecting to localhost:" + std::to_string(server.port()) + "..."));
}

TEST_F(TcpTransportTest, RefusesMoreThan4091PayloadBytesWithoutClosing)
{
    TlsTestServer server(certs.serverCert, certs.serverKey, vexa::test::reverseReply);
    auto transport = connectTo(server);
    transport->open();
    EXPECT_EQ(ioFailure([&] { transport->write(std::vector<uint8_t>(4092, 1)); }),
              (IoFailure{vexa::test::TooLong, "Request too long for a client packet"}));
    EXPECT_TRUE(transport->isOpen());
    EXPECT_EQ(transport->write(std::vector<uint8_t>(4091, 1)), 4091u);
    ASSERT_TRUE(server.log().waitFor(1));
    EXPECT_EQ(server.log().packets().size(), 1u);
    EXPECT_EQ(server.log().packets()[0].bytes.size(), 4096u);
}

TEST_F(TcpTransportTest, MissingCaFileIsReportedAndOpenThrows)
{
    TlsTestServer server(certs.serverCert, certs.serverKey, vexa::test::reverseReply);
    const std::string missing = dir->file("no-such-ca.pem");
    auto transport = connectTo(server, missing);
    EXPECT_THROW(
        {
            try {
                transport->open();
            } catch (const corvel::IOException& error) {
                EXPECT_STREQ(error.what(), "connection failed");
                EXPECT_EQ(error.failure(), vexa::test::Unreachable);
                throw;
            }
        },
        corvel::IOException);
    EXPECT_FALSE(transport->isOpen());
    EXPECT_TRUE(log.contains(kLogError, "Failed to open ca cert file " + missing + "."));
    EXPECT_TRUE(log.containsPrefix(kLogError, "Last error was: "));
}

TEST_F(TcpTransportTest, NoDaemonListeningIsReportedAndOpenThrows)
{
    // A bound port that does not listen refuses connections while it is held.
    vexa::test::RefusingPort refusing;
    TCPTransport transport("127.0.0.1", refusing.port(), certs.caCert, &log);
    EXPECT_THROW(transport.open(), corvel::IOException);
    refusing.release();
    EXPECT_FALSE(transport.isOpen());
    EXPECT_TRUE(log.contains(kLogError, "connect returned " + std::to_string(MBEDTLS_ERR_NET_CONNECT_FAILED)));
    EXPECT_TRUE(log.containsPrefix(kLogError, "Last error was: " + std::to_string(MBEDTLS_ERR_NET_CONNECT_FAILED)));
}

// A daemon that does not take the connection, or takes it and stays silent,
// costs open() its time-out: connect and handshake share it.
TEST_F(TcpTransportTest, OpenEndsWithinTheTimeoutAgainstAStalledListener)
{
    using Clock = std::chrono::steady_clock;
    const struct {
        const char* name;
        bool backlogFull;
        std::string line;
    } cases[] = {
        {"backlog full", true, "No connection to 127.0.0.1:"},
        {"never answers", false, "ssl handshake returned -0x" + hexCode(-MBEDTLS_ERR_SSL_TIMEOUT)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        vexa::test::StalledListener listener(c.backlogFull);
        TCPTransport transport("127.0.0.1", listener.port(), certs.caCert, &log);
        transport.setTimeout(1000);
        const auto start = Clock::now();
        EXPECT_EQ(ioFailure([&] { transport.open(); }), (IoFailure{vexa::test::Unreachable, "connection failed"}));
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2000));
        EXPECT_TRUE(log.containsPrefix(kLogError, c.line)) << log.text();
        EXPECT_FALSE(transport.isOpen());
    }
}

// The daemon drops a connection that has been idle: the next write finds it
// gone and fails as Closed, so that the request goes over a fresh one.
TEST_F(TcpTransportTest, WriteFindsAConnectionTheDaemonDroppedClosed)
{
    TlsTestServer server(certs.serverCert, certs.serverKey, vexa::test::reverseReply);
    auto transport = connectTo(server);
    transport->open();
    transport->write(bytes("abc"));
    uint8_t reply[8];
    ASSERT_EQ(transport->read(reply, sizeof reply), 3u);
    server.dropClient();
    EXPECT_EQ(ioFailure([&] { transport->write(bytes("x")); }),
              (IoFailure{vexa::test::Closed, "tls connection closed by the daemon"}));
    EXPECT_FALSE(transport->isOpen());
    transport->open();
    EXPECT_EQ(transport->write(bytes("xyz")), 3u);
    ASSERT_EQ(transport->read(reply, sizeof reply), 3u);
    EXPECT_EQ(std::string(reply, reply + 3), "zyx");
}

// Only TLS 1.2 with an ECDHE key exchange and an AEAD cipher is accepted
// from the daemon's end too: against openssl s_server offering anything
// else, the connection fails in the handshake.
TEST_F(TcpTransportTest, OnlyModernTlsIsAcceptedFromTheServer)
{
    const struct {
        const char* name;
        std::vector<std::string> offer;
        bool accepted;
    } cases[] = {
        {"TLS 1.2 ECDHE AES-GCM", {"-tls1_2", "-cipher", "ECDHE-ECDSA-AES128-GCM-SHA256"}, true},
        {"TLS 1.2 ECDHE ChaCha20", {"-tls1_2", "-cipher", "ECDHE-ECDSA-CHACHA20-POLY1305"}, true},
        {"TLS 1.1", {"-tls1_1", "-cipher", "DEFAULT:@SECLEVEL=0"}, false},
        {"TLS 1.2 CBC", {"-tls1_2", "-cipher", "ECDHE-ECDSA-AES128-SHA256"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        OpensslServer server(certs, c.offer);
        ASSERT_TRUE(server.listening()) << server.output();
        log.clear();
        TCPTransport transport("localhost", server.port(), certs.caCert, &log);
        if (c.accepted) {
            EXPECT_NO_THROW(transport.open()) << log.text();
        } else {
            EXPECT_EQ(ioFailure([&] { transport.open(); }), (IoFailure{vexa::test::Unreachable, "connection failed"}));
            EXPECT_TRUE(log.containsPrefix(kLogError, "ssl handshake returned ")) << log.text();
        }
    }
}

TEST_F(TcpTransportTest, CertificateForAnotherHostFailsVerification)
{
    TlsTestServer server(certs.otherHostCert, certs.otherHostKey, vexa::test::reverseReply);
    auto transport = connectTo(server);
    EXPECT_THROW(transport->open(), corvel::IOException);
    EXPECT_FALSE(transport->isOpen());
    EXPECT_TRUE(log.containsPrefix(kLogError, "Certificate verification failed: "));
    EXPECT_FALSE(log.containsPrefix(kLogError, "Last error was: ")) << "a verification failure has no last error";
    EXPECT_EQ(server.acceptedConnections(), 1) << "the handshake itself completed";
}

TEST_F(TcpTransportTest, UntrustedCaFailsVerification)
{
    vexa::test::TempDir otherDir;
    const auto otherCerts = vexa::test::makeTestCertificates(otherDir.path());
    TlsTestServer server(otherCerts.serverCert, otherCerts.serverKey, vexa::test::reverseReply);
    auto transport = connectTo(server);
    EXPECT_THROW(transport->open(), corvel::IOException);
    EXPECT_TRUE(log.containsPrefix(kLogError, "Certificate verification failed: "));
}

// A client certificate that cannot be presented fails the connection before
// it is made, with a line that names the file and what is wrong with it.
TEST_F(TcpTransportTest, ClientCredentialsThatCannotBeLoadedFailBeforeConnecting)
{
    TlsTestServer server(certs.serverCert, certs.serverKey, vexa::test::reverseReply);
    const std::string missing = dir->file("missing.pem");
    const struct {
        std::string cert;
        std::string key;
        const char* password;
        std::string line;
    } cases[] = {
        {missing, clients.key, nullptr, "Failed to load client certificate " + missing + ": -0x3e00"},
        {clients.cert, missing, nullptr, "Failed to load client key " + missing + ": -0x3e00"},
        {clients.key, clients.key, nullptr, "Failed to load client certificate " + clients.key + ": "},
        {clients.cert, clients.foreignKey, nullptr,
         "Client key " + clients.foreignKey + " does not belong to the certificate " + clients.cert + ": "},
        {clients.cert, clients.encryptedKey, nullptr,
         "Failed to load client key " + clients.encryptedKey + " (its password comes from VEXA_CLIENT_KEY_PASS): "},
        {clients.cert, clients.encryptedKey, "wrong",
         "Failed to load client key " + clients.encryptedKey + " (its password comes from VEXA_CLIENT_KEY_PASS): "},
        {clients.cert, clients.encryptedKey, "", "Failed to load client key " + clients.encryptedKey},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const ClientKeyPassword environment(c.password);
        log.clear();
        TCPTransport transport({"localhost", server.port(), certs.caCert, c.cert, c.key}, &log);
        EXPECT_EQ(ioFailure([&] { transport.open(); }), (IoFailure{vexa::test::Unreachable, "connection failed"}));
        EXPECT_TRUE(log.containsPrefix(kLogError, c.line));
        EXPECT_TRUE(log.containsPrefix(kLogError, "Last error was: "));
        EXPECT_FALSE(log.containsPrefix(corvel::kLogInfo, "Connecting to ")) << "nothing went out";
        EXPECT_FALSE(corvel::TlsClientConnection::credentialsProblem(c.cert, c.key).empty());
    }
    EXPECT_EQ(server.acceptedConnections(), 0);
}

TEST_F(TcpTransportTest, ClientCredentialsLoadWithTheKeysPassword)
{
    using corvel::TlsClientConnection;
    EXPECT_EQ(TlsClientConnection::credentialsProblem(clients.cert, clients.key), "");
    EXPECT_EQ(TlsClientConnection::credentialsProblem(clients.foreignCert, clients.foreignKey), "");
    const ClientKeyPassword environment(vexa::test::ClientCertificates::kKeyPassword);
    EXPECT_EQ(TlsClientConnection::credentialsProblem(clients.cert, clients.encryptedKey), "");
    // A server that does not ask for a certificate is reached as before.
    TlsTestServer server(certs.serverCert, certs.serverKey, vexa::test::reverseReply);
    TCPTransport transport({"localhost", server.port(), certs.caCert, clients.cert, clients.encryptedKey}, &log);
    EXPECT_NO_THROW(transport.open());
    EXPECT_EQ(transport.write(bytes("abc")), 3u);
    uint8_t reply[8];
    EXPECT_EQ(transport.read(reply, sizeof reply), 3u);
}

TEST_F(TcpTransportTest, ReadTimeoutClosesAndTheNextOpenReconnects)
{
    int served = 0;
    TlsTestServer server(certs.serverCert, certs.serverKey, [&](const std::vector<uint8_t>& payload) {
        return ++served == 1 ? FakeReply::silent() : vexa::test::reverseReply(payload);
    });
    auto transport = connectTo(server);
    transport->open();
    transport->setTimeout(100);  // the connection's, from now on
    transport->write(bytes("abc"));
    uint8_t reply[64];
    EXPECT_EQ(ioFailure([&] { transport->read(reply, sizeof reply); }),
              (IoFailure{vexa::test::TimedOut, "tls read failed: " + std::to_string(MBEDTLS_ERR_SSL_TIMEOUT)}));
    EXPECT_FALSE(transport->isOpen());

    transport->setTimeout(10000);
    transport->open();
    EXPECT_EQ(transport->write(bytes("xyz")), 3u);
    ASSERT_EQ(transport->read(reply, sizeof reply), 3u);
    EXPECT_EQ(std::string(reply, reply + 3), "zyx");
    EXPECT_EQ(server.acceptedConnections(), 2);
}

// As over the Unix socket: none of a reply too long for the buffer is handed
// out, and the connection goes with it.
TEST_F(TcpTransportTest, ReplyLongerThanTheBufferIsTooLongAndClosesTheConnection)
{
    TlsTestServer server(certs.serverCert, certs.serverKey, vexa::test::reverseReply);
    auto transport = connectTo(server);
    transport->open();
    transport->write(bytes("abcd"));
    uint8_t reply[4];
    EXPECT_EQ(ioFailure([&] { transport->read(reply, 3); }),
              (IoFailure{vexa::test::TooLong, "Reply longer than the read buffer"}));
    EXPECT_FALSE(transport->isOpen());

    transport->open();
    transport->write(bytes("xyz"));
    ASSERT_EQ(transport->read(reply, 3), 3u) << "a reply that fills the buffer exactly is whole";
    EXPECT_EQ(std::string(reply, reply + 3), "zyx");
}

TEST_F(TcpTransportTest, ZeroCapacityReadLeavesTheConnectionAlone)
{
    TlsTestServer server(certs.serverCert, certs.serverKey, vexa::test::reverseReply);
    auto transport = connectTo(server);
    transport->open();
    uint8_t reply[1];
    EXPECT_EQ(transport->read(reply, 0), 0u);
    EXPECT_TRUE(transport->isOpen());
    EXPECT_TRUE(log.lines().size() == 1u) << "only the connecting line";
}

TEST_F(TcpTransportTest, ClosedTransportRefusesReadAndWrite)
{
    TCPTransport transport("localhost", 1, certs.caCert, &log);
    uint8_t reply[8];
    EXPECT_EQ(ioFailure([&] { transport.write(bytes("abc")); }),
              (IoFailure{vexa::test::Closed, "tls port not open, write failed."}));
    EXPECT_EQ(ioFailure([&] { transport.read(reply, sizeof reply); }),
              (IoFailure{vexa::test::Closed, "tls port not open, read failed."}));
    transport.setTimeout(1234);
    EXPECT_EQ(transport.getTimeout(), 1234u);
}

}  // namespace
