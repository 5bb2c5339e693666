// Unix-socket connections as the daemon's session broker sees them: every
// connection of one process is one client, whose sessions outlive its
// connections while it lives and are closed once it has ended. The token is
// a stand-in that keeps sessions; the other process is a child of the test.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <thread>

#include "CapturedLog.h"
#include "SessionToken.h"
#include "SocketClient.h"
#include "TempDir.h"
#include "TestProcess.h"
#include "UnixClientHandler.h"

namespace vexa::daemon {
namespace {

using namespace test;
using namespace std::chrono_literals;

std::optional<wire::Response> Call(SocketClient& client, uint32_t function, std::optional<uint32_t> session)
{
    if (!client.send(MakePacket(EncodedCall(function, session)))) {
        return std::nullopt;
    }
    wire::Response response;
    const Bytes reply = client.receiveReply();
    if (reply.empty() || !wire::decodeResponse(reply, response)) {
        return std::nullopt;
    }
    return response;
}

// A port shared the way the daemon shares it, so that the process watcher
// can reach it, and a socket on which every accepted connection is served
// on a thread of its own.
class UnixClientProcessTest : public testing::Test {
protected:
    void SetUp() override
    {
        m_port =
            PortPtr(new CThreadSafeUSBPort("SERIAL01", std::make_unique<SessionTokenTransport>(token)), DestroyPort);
        m_listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path().c_str(), sizeof address.sun_path - 1);
        ASSERT_EQ(bind(m_listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(listen(m_listener, 5), 0);
        m_acceptor = std::thread([this] {
            for (int fd; (fd = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
                m_servers.emplace_back(HandleUnixClient, fd, m_port.get());
            }
        });
    }

    void TearDown() override
    {
        shutdown(m_listener, SHUT_RDWR);
        m_acceptor.join();
        close(m_listener);
        for (std::thread& server : m_servers) {
            server.join();
        }
    }

    std::string path() const { return m_dir.file("token.sock"); }

    SessionToken token;
    CapturedLog log;

private:
    TempDir m_dir{"vexa-unix-client"};
    PortPtr m_port;
    int m_listener = -1;
    std::thread m_acceptor;
    std::vector<std::thread> m_servers;  // joined after the acceptor has ended
};

// The library opens a new connection after a failure: its sessions are
// still its own there, and still no one else's.
TEST_F(UnixClientProcessTest, ConnectionsOfOneProcessShareItsSessions)
{
    std::optional<uint32_t> session;
    {
        SocketClient first = SocketClient::ConnectUnix(path());
        const auto opened = Call(first, fn::OpenSession, std::nullopt);
        ASSERT_TRUE(opened && opened->handle);
        session = opened->handle;
    }
    SocketClient second = SocketClient::ConnectUnix(path());
    const auto used = Call(second, fn::GetSessionInfo, session);
    ASSERT_TRUE(used);
    EXPECT_EQ(used->rv, CKR_OK);
    EXPECT_TRUE(token.isOpen(*session));
}

// A child process opens a session and closes its connection: the session
// stays while the child lives, and is closed soon after it has ended.
TEST_F(UnixClientProcessTest, SessionsOfAProcessAreClosedOnceItHasEnded)
{
    int toParent[2];
    int toChild[2];
    ASSERT_EQ(pipe(toParent), 0);
    ASSERT_EQ(pipe(toChild), 0);
    const Bytes open = MakePacket(EncodedCall(fn::OpenSession));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Only calls that are safe after fork in a threaded process.
        uint8_t reply[64];
        ssize_t got = -1;
        {
            SocketClient client = SocketClient::ConnectUnix(path());
            if (client.send(open)) {
                got = recv(client.fd(), reply, sizeof reply, 0);
            }
        }
        const bool sent = got > 0 && write(toParent[1], reply, static_cast<size_t>(got)) == got;
        char go;
        const bool told = read(toChild[0], &go, 1) == 1;
        _exit(sent && told ? 0 : 1);
    }
    close(toParent[1]);
    close(toChild[0]);
    uint8_t reply[64];
    const ssize_t got = read(toParent[0], reply, sizeof reply);
    close(toParent[0]);
    wire::Response opened;
    ASSERT_GT(got, 0);
    ASSERT_TRUE(wire::decodeResponse(Bytes(reply, reply + got), opened));
    ASSERT_TRUE(opened.handle);
    const uint32_t session = *opened.handle;

    // Its connection has gone; it lives on.
    SocketClient other = SocketClient::ConnectUnix(path());
    const auto refused = Call(other, fn::GetSessionInfo, session);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->rv, CKR_SESSION_HANDLE_INVALID);
    EXPECT_TRUE(token.isOpen(session));

    ASSERT_EQ(write(toChild[1], "x", 1), 1);
    close(toChild[1]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(WaitUntil([&] { return !token.isOpen(session); }, 2s));
    EXPECT_TRUE(log.waitFor(
        "INFO : Closed the 1 session(s) that process " + std::to_string(child) + " left open on SERIAL01.\n", 2s))
        << log.peek();
}

}  // namespace
}  // namespace vexa::daemon
