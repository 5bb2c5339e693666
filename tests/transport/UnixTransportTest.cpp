#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "CUnixTransport.h"
#include "Exception.h"
#include "FakeDaemon.h"
#include "IoFailure.h"
#include "OtherUser.h"
#include "RecordingLog.h"
#include "TempDir.h"

using corvel::CUnixTransport;
using corvel::kLogDebug;
using vexa::test::FakeReply;
using vexa::test::FakeUnixDaemon;
using vexa::test::IoFailure;
using vexa::test::ioFailure;

namespace {

std::vector<uint8_t> bytes(const std::string& text) { return {text.begin(), text.end()}; }

class UnixTransportTest : public ::testing::Test {
protected:
    vexa::test::TempDir dir;
    std::string socketPath = dir.file("vexa.0123456789AB.sock");
    vexa::test::RecordingLog log;
};

TEST_F(UnixTransportTest, FramesAbcWithTheFiveByteHeaderAndReadsTheReply)
{
    FakeUnixDaemon daemon(socketPath, vexa::test::reverseReply);
    CUnixTransport transport(socketPath, &log);
    EXPECT_NO_THROW(transport.open());
    ASSERT_TRUE(transport.isOpen());

    EXPECT_EQ(transport.write(bytes("abc")), 3u);
    uint8_t reply[2048];
    ASSERT_EQ(transport.read(reply, sizeof reply), 3u);
    EXPECT_EQ(std::string(reply, reply + 3), "cba");

    ASSERT_TRUE(daemon.log().waitFor(1));
    const std::vector<uint8_t> expected{0x03, 0x00, 0x00, 0x00, 0x00, 0x61, 0x62, 0x63};
    EXPECT_EQ(daemon.log().packets()[0].bytes, expected);
    EXPECT_STREQ(transport.getName(), "UNIX");
}

TEST_F(UnixTransportTest, PacketLimitIs4096BytesWithHeader)
{
    FakeUnixDaemon daemon(socketPath, [](const std::vector<uint8_t>&) { return FakeReply::send({0x01}); });
    CUnixTransport transport(socketPath, &log);
    transport.open();

    EXPECT_EQ(ioFailure([&] { transport.write(std::vector<uint8_t>(4092, 0x55)); }),
              (IoFailure{vexa::test::TooLong, "Request too long for a client packet"}));
    EXPECT_TRUE(transport.isOpen()) << "a refused request keeps the connection";
    EXPECT_EQ(transport.write(std::vector<uint8_t>(4091, 0x55)), 4091u);

    ASSERT_TRUE(daemon.log().waitFor(1));
    const auto packets = daemon.log().packets();
    ASSERT_EQ(packets.size(), 1u) << "the refused request must not reach the daemon";
    EXPECT_EQ(packets[0].bytes.size(), 4096u);
    EXPECT_EQ(packets[0].bytes[0], 0xFB);
    EXPECT_EQ(packets[0].bytes[1], 0x0F);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(UnixTransportTest, EmptyByteStringWritesAHeaderOnly)
{
    FakeUnixDaemon daemon(socketPath, [](const std::vector<uint8_t>&) { return FakeReply::silent(); });
    CUnixTransport transport(socketPath, &log);
    transport.open();
    EXPECT_EQ(transport.write(std::vector<uint8_t>()), 0u);
    ASSERT_TRUE(daemon.log().waitFor(1));
    EXPECT_EQ(daemon.log().packets()[0].bytes, (std::vector<uint8_t>{0, 0, 0, 0, 0}));
}

TEST_F(UnixTransportTest, ReopensAfterTheDaemonClosesTheConnection)
{
    int served = 0;
    FakeUnixDaemon daemon(socketPath, [&](const std::vector<uint8_t>& payload) {
        return ++served == 1 ? FakeReply::close() : vexa::test::reverseReply(payload);
    });
    CUnixTransport transport(socketPath, &log);
    transport.open();

    transport.write(bytes("one"));
    uint8_t reply[64];
    EXPECT_EQ(ioFailure([&] { transport.read(reply, sizeof reply); }),
              (IoFailure{vexa::test::Closed, "Connection closed by the daemon"}));
    EXPECT_FALSE(transport.isOpen());
    EXPECT_TRUE(log.contains(kLogDebug, "Closing socket."));

    transport.open();
    EXPECT_EQ(transport.write(bytes("two")), 3u);
    ASSERT_EQ(transport.read(reply, sizeof reply), 3u);
    EXPECT_EQ(std::string(reply, reply + 3), "owt");
    EXPECT_EQ(daemon.acceptedConnections(), 2);
}

TEST_F(UnixTransportTest, SilentDaemonEndsTheReadAfterTheTimeout)
{
    FakeUnixDaemon daemon(socketPath, [](const std::vector<uint8_t>&) { return FakeReply::silent(); });
    CUnixTransport transport(socketPath, &log);
    transport.setTimeout(50);
    transport.open();
    transport.write(bytes("abc"));
    uint8_t reply[64];
    EXPECT_EQ(ioFailure([&] { transport.read(reply, sizeof reply); }),
              (IoFailure{vexa::test::TimedOut, "No reply from the daemon within the time-out"}));
    EXPECT_FALSE(transport.isOpen());
    EXPECT_EQ(transport.getTimeout(), 50u);
}

TEST_F(UnixTransportTest, ZeroTimeoutReadReturnsAtOnceAndCloses)
{
    FakeUnixDaemon daemon(socketPath, vexa::test::reverseReply);
    CUnixTransport transport(socketPath, &log);
    transport.setTimeout(0);
    transport.open();
    transport.write(bytes("abc"));
    uint8_t reply[64];
    EXPECT_EQ(ioFailure([&] { transport.read(reply, sizeof reply); }).kind, vexa::test::TimedOut);
    EXPECT_FALSE(transport.isOpen());
}

TEST_F(UnixTransportTest, ClosedTransportRefusesReadAndWrite)
{
    CUnixTransport transport(socketPath, &log);
    uint8_t reply[8];
    EXPECT_EQ(ioFailure([&] { transport.write(bytes("abc")); }),
              (IoFailure{vexa::test::Closed, "Attempt to write to closed socket."}));
    EXPECT_EQ(ioFailure([&] { transport.read(reply, sizeof reply); }),
              (IoFailure{vexa::test::Closed, "Attempt to read from closed socket."}));
}

// A reply that does not fit the buffer must not be handed out in parts: its
// tail would pass for the next reply. The connection goes with it.
TEST_F(UnixTransportTest, ReplyLongerThanTheBufferIsTooLongAndClosesTheConnection)
{
    FakeUnixDaemon daemon(socketPath, vexa::test::reverseReply);
    CUnixTransport transport(socketPath, &log);
    transport.open();
    transport.write(bytes("abcd"));
    uint8_t reply[4];
    EXPECT_EQ(ioFailure([&] { transport.read(reply, 3); }),
              (IoFailure{vexa::test::TooLong, "Reply longer than the read buffer"}));
    EXPECT_FALSE(transport.isOpen());

    transport.open();
    transport.write(bytes("xyz"));
    ASSERT_EQ(transport.read(reply, 3), 3u) << "a reply that fills the buffer exactly is whole";
    EXPECT_EQ(std::string(reply, reply + 3), "zyx");
}

TEST_F(UnixTransportTest, ConnectFailureThrowsConnectionFailed)
{
    CUnixTransport transport(socketPath, &log);
    try {
        transport.open();
        FAIL() << "open succeeded without a daemon";
    } catch (const corvel::IOException& error) {
        EXPECT_STREQ(error.what(), "connection failed");
        EXPECT_EQ(error.failure(), vexa::test::Unreachable);
    }
    EXPECT_FALSE(transport.isOpen());
}

TEST_F(UnixTransportTest, WriteToAVanishedDaemonClosesWithoutSignal)
{
    auto daemon = std::make_unique<FakeUnixDaemon>(socketPath, vexa::test::reverseReply);
    CUnixTransport transport(socketPath, &log);
    transport.open();
    ASSERT_EQ(transport.write(bytes("abc")), 3u);
    uint8_t reply[8];
    ASSERT_EQ(transport.read(reply, sizeof reply), 3u);
    daemon.reset();

    const IoFailure failure = ioFailure([&] { transport.write(bytes("abc")); });
    EXPECT_EQ(failure.kind, vexa::test::Closed);
    EXPECT_EQ(failure.message.rfind("Socket write error ", 0), 0u) << failure.message;
    EXPECT_FALSE(transport.isOpen());
}

TEST_F(UnixTransportTest, CloseLogsOnceAndOpenOnOpenReconnects)
{
    FakeUnixDaemon daemon(socketPath, vexa::test::reverseReply);
    CUnixTransport transport(socketPath, &log);
    transport.close();
    EXPECT_EQ(log.count("Closing socket."), 0u) << "closing a never-opened transport says nothing";

    transport.open();
    EXPECT_NO_THROW(transport.open());
    EXPECT_EQ(log.count("Closing socket."), 1u);
    transport.close();
    transport.close();
    EXPECT_EQ(log.count("Closing socket."), 2u);
    EXPECT_FALSE(transport.isOpen());
    for (int i = 0; i < 50 && daemon.acceptedConnections() < 2; ++i) {
        usleep(2000);
    }
    EXPECT_EQ(daemon.acceptedConnections(), 2);
}

}  // namespace

// Whoever can put a socket in the daemon's place must not get the PIN: a
// socket served by another user gets nothing, not even a header, unless the
// configuration names that user.
TEST_F(UnixTransportTest, SocketOfAnotherUserIsRefusedBeforeAnythingIsSent)
{
    const std::optional<uid_t> other = vexa::test::otherUser();
    if (!other) {
        GTEST_SKIP() << vexa::test::kNeedsRoot;
    }
    const std::string theirs = dir.file("theirs");
    ASSERT_EQ(::mkdir(theirs.c_str(), 0700), 0);
    ASSERT_EQ(::chown(theirs.c_str(), *other, *other), 0);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    const std::string path = theirs + "/vexa.0123456789AB.sock";
    FakeUnixDaemon daemon(path, vexa::test::reverseReply, vexa::test::listenAsUser(path, *other));

    CUnixTransport transport(path, &log);
    const IoFailure refused = ioFailure([&] { transport.open(); });
    EXPECT_EQ(refused.kind, vexa::test::Unreachable);
    EXPECT_EQ(refused.message, "Refusing socket " + path + ": it is served by uid " + std::to_string(*other) +
                                   ", not by root, this process's user or a user of transport.trustedusers; "
                                   "nothing was sent");
    EXPECT_FALSE(transport.isOpen());
    EXPECT_THROW(transport.write(bytes("PIN")), corvel::IOException);
    // The fake took the connection and got nothing on it.
    for (int i = 0; i < 500 && daemon.acceptedConnections() == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(daemon.acceptedConnections(), 1);
    EXPECT_FALSE(daemon.log().waitFor(1, 200));

    transport.setTrustedUsers({*other});
    EXPECT_NO_THROW(transport.open());
    EXPECT_EQ(transport.write(bytes("abc")), 3u);
    uint8_t reply[16];
    ASSERT_EQ(transport.read(reply, sizeof reply), 3u);
    EXPECT_EQ(std::string(reply, reply + 3), "cba");
}
