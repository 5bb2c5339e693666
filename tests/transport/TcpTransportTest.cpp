#include <gtest/gtest.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/ssl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "Exception.h"
#include "FakeDaemon.h"
#include "IoFailure.h"
#include "RecordingLog.h"
#include "RefusingPort.h"
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
    transport->setTimeout(100);
    transport->open();
    transport->write(bytes("abc"));
    uint8_t reply[64];
    EXPECT_EQ(ioFailure([&] { transport->read(reply, sizeof reply); }),
              (IoFailure{vexa::test::TimedOut, "tls read failed: " + std::to_string(MBEDTLS_ERR_SSL_TIMEOUT)}));
    EXPECT_FALSE(transport->isOpen());

    transport->open();
    EXPECT_EQ(transport->write(bytes("xyz")), 3u);
    ASSERT_EQ(transport->read(reply, sizeof reply), 3u);
    EXPECT_EQ(std::string(reply, reply + 3), "zyx");
    EXPECT_EQ(server.acceptedConnections(), 2);
}

TEST_F(TcpTransportTest, DaemonClosingTheConnectionEndsTheRead)
{
    TlsTestServer server(certs.serverCert, certs.serverKey,
                         [](const std::vector<uint8_t>&) { return FakeReply::close(); });
    auto transport = connectTo(server);
    transport->open();
    transport->write(bytes("abc"));
    uint8_t reply[64];
    EXPECT_EQ(ioFailure([&] { transport->read(reply, sizeof reply); }).kind, vexa::test::Closed);
    EXPECT_FALSE(transport->isOpen());
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
