#include "UnixClientHandler.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "ClientLoop.h"
#include "DaemonLog.h"
#include "PeerProcess.h"

namespace vexa::daemon {
namespace {

class CUnixClientStream : public CClientStream {
public:
    explicit CUnixClientStream(int fd) : m_fd(fd) {}

    // A stream socket may deliver a header in pieces, so the header is read
    // this way too.
    size_t readExactly(uint8_t* data, size_t length) override
    {
        m_error = 0;
        size_t count = 0;
        while (count < length) {
            const ssize_t got = read(m_fd, data + count, length - count);
            if (got > 0) {
                count += static_cast<size_t>(got);
            } else if (got == 0) {
                break;
            } else if (errno != EINTR) {
                m_error = errno;
                break;
            }
        }
        return count;
    }

    bool writeAll(const uint8_t* data, size_t length) override
    {
        size_t count = 0;
        while (count < length) {
            const ssize_t sent = send(m_fd, data + count, length - count, MSG_NOSIGNAL);
            if (sent < 0 && errno == EINTR) {
                continue;
            }
            if (sent <= 0) {
                return false;
            }
            count += static_cast<size_t>(sent);
        }
        return true;
    }

    bool peerGone() override { return socketHungUp(m_fd); }

    void logHeaderEnd(size_t count) override
    {
        if (m_error != 0) {
            LogMessage(corvel::kLogError, "Socket read failed, error %d", m_error);
        } else if (leftBetweenRequests(count)) {
            LogMessage(corvel::kLogDebug, "Client closed the connection.");
        } else {
            LogMessage(corvel::kLogInfo, "short len read");
        }
    }

    bool leftBetweenRequests(size_t count) const override { return count == 0 && m_error == 0; }

    void logPayloadEnd() override
    {
        if (m_error != 0) {
            LogMessage(corvel::kLogError, "Socket read failed, error %d", m_error);
        }
    }

private:
    const int m_fd;
    int m_error = 0;  // errno of the read that failed last, 0 when it ended otherwise
};

constexpr ClientLoopRules kUnixRules{/*echoOtherCommands=*/false, /*endOnFailedReply=*/true, /*noteFailedRead=*/true};

}  // namespace

void serveUnixClient(int fd, CThreadSafeUSBPort* port)
{
    if (port == nullptr) {
        return;
    }
    CPortClient client(identifyPeer(fd));
    CUnixClientStream stream(fd);
    serveClient(
        stream,
        [port, &client](uint8_t* buffer, uint32_t length, uint32_t& replyLength,
                        const std::function<bool()>& stillWanted) {
            const TokenOutcome outcome = port->exchange(client, buffer, length, replyLength, stillWanted);
            if (outcome == TokenOutcome::Failed) {
                LogMessage(corvel::kLogError, "Failed to transmit USB cmd to %s.", port->serial().c_str());
            }
            return outcome;
        },
        kUnixRules);
    // The client is told at once that the connection has ended, even while
    // its sessions are being closed.
    shutdown(fd, SHUT_RDWR);
    port->detach(client);
}

void HandleUnixClient(int fd, CThreadSafeUSBPort* port)
{
    serveUnixClient(fd, port);
    close(fd);
}

}  // namespace vexa::daemon
