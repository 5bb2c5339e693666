// TCPTransport against vexa-daemon's TLS listener, the token being a
// simulated one whose echo firmware answers each request reversed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Exception.h"
#include "IoFailure.h"
#include "RealDaemon.h"
#include "RecordingLog.h"
#include "TCPTransport.h"
#include "TempDir.h"
#include "TestCertificates.h"

using corvel::TCPTransport;

namespace {

const std::string kSerial = "0123456789AB";

class TcpDaemonEndToEnd : public ::testing::Test {
protected:
    void SetUp() override { certs = vexa::test::makeTestCertificates(dir.path()); }

    std::unique_ptr<vexa::test::RealDaemon> startDaemon(const std::string& cert, const std::string& key)
    {
        return vexa::test::RealDaemon::tls({"--token", kSerial, "--firmware", "echo", "--trace", dir.file("trace")},
                                           cert, key, certs.caCert);
    }

    vexa::test::TempDir dir;
    vexa::test::TestCertificates certs;
    vexa::test::RecordingLog log;
};

TEST_F(TcpDaemonEndToEnd, RequestReachesTheTokenAndTheReplyComesBack)
{
    const auto daemon = startDaemon(certs.serverCert, certs.serverKey);
    TCPTransport transport("localhost", daemon->port(), certs.caCert, &log);
    transport.open();
    ASSERT_EQ(transport.write(std::vector<uint8_t>{'a', 'b', 'c'}), 3u);
    uint8_t reply[2048];
    ASSERT_EQ(transport.read(reply, sizeof reply), 3u) << daemon->output();
    EXPECT_EQ(std::string(reply, reply + 3), "cba");
}

TEST_F(TcpDaemonEndToEnd, ConnectionDroppedByTheDaemonIsReopened)
{
    const auto daemon = startDaemon(certs.serverCert, certs.serverKey);
    TCPTransport transport("localhost", daemon->port(), certs.caCert, &log);
    // Without its token the daemon closes each connection after the handshake.
    ASSERT_EQ(daemon->simulator().control("unplug " + kSerial), "ok");
    transport.open();
    // The write may already find the connection gone; the read surely does.
    try {
        transport.write(std::vector<uint8_t>{'a', 'b', 'c'});
    } catch (const corvel::IOException& error) {
        EXPECT_EQ(error.failure(), vexa::test::Closed);
    }
    uint8_t reply[64];
    EXPECT_EQ(vexa::test::ioFailure([&] { transport.read(reply, sizeof reply); }).kind, vexa::test::Closed);
    EXPECT_FALSE(transport.isOpen());

    ASSERT_EQ(daemon->simulator().control("plug " + kSerial), "ok");
    transport.open();
    ASSERT_EQ(transport.write(std::vector<uint8_t>{'x', 'y'}), 2u);
    ASSERT_EQ(transport.read(reply, sizeof reply), 2u) << daemon->output();
    EXPECT_EQ(std::string(reply, reply + 2), "yx");
}

TEST_F(TcpDaemonEndToEnd, DaemonCertificateForAnotherHostIsRefused)
{
    const auto daemon = startDaemon(certs.otherHostCert, certs.otherHostKey);
    TCPTransport transport("localhost", daemon->port(), certs.caCert, &log);
    EXPECT_THROW(transport.open(), corvel::IOException);
    EXPECT_TRUE(log.containsPrefix(corvel::kLogError, "Certificate verification failed: "));
    EXPECT_FALSE(transport.isOpen());
}

}  // namespace
