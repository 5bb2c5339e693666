#include "UnixClient.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "ClientSession.h"
#include "DaemonLog.h"

namespace vexa::daemon {
namespace {

struct ReadResult {
    size_t count;
    int error;  // errno of a failed read, 0 at end of stream or when complete
};

// Reads until length bytes have arrived, the peer closes or a read fails. A
// stream socket may deliver a header in pieces, so the header is read this way
// too.
ReadResult ReadFully(int fd, uint8_t* data, size_t length)
{
    size_t count = 0;
    while (count < length) {
        const ssize_t got = read(fd, data + count, length - count);
        if (got > 0) {
            count += static_cast<size_t>(got);
        } else if (got == 0) {
            return {count, 0};
        } else if (errno != EINTR) {
            return {count, errno};
        }
    }
    return {count, 0};
}

bool WriteFully(int fd, const uint8_t* data, size_t length)
{
    size_t count = 0;
    while (count < length) {
        const ssize_t sent = send(fd, data + count, length - count, MSG_NOSIGNAL);
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

bool ReadHeader(int fd, ClientSession& session)
{
    const ReadResult header = ReadFully(fd, session.header, corvel::kClientHeaderSize);
    if (header.error != 0) {
        LogMessage(corvel::kLogError, "Socket read failed, error %d", header.error);
        return false;
    }
    if (header.count < corvel::kClientHeaderSize) {
        LogMessage(corvel::kLogInfo, "short len read");
        return false;
    }
    return true;
}

bool ReadPayload(int fd, ClientSession& session, uint32_t length)
{
    if (length > kMaxMessage) {
        LogMessage(corvel::kLogError, "packet len too big %u", length);
        return false;
    }
    const ReadResult payload = ReadFully(fd, session.buffer.data(), length);
    if (payload.error != 0) {
        LogMessage(corvel::kLogError, "Socket read failed, error %d", payload.error);
    }
    if (payload.count < length) {
        LogMessage(corvel::kLogError, "Short packet read, expected %d got %d", static_cast<int>(length),
                   static_cast<int>(payload.count));
        return false;
    }
    return true;
}

// One request and its reply; false ends the connection.
bool ServeRequest(int fd, CThreadSafeUSBPort& port, ClientSession& session)
{
    if (!ReadHeader(fd, session)) {
        LogMessage(corvel::kLogInfo, "Reading packet from socket failed.");
        return false;
    }
    const corvel::ClientPacketHeader header = corvel::parseClientHeader(session.header);
    if (!ReadPayload(fd, session, header.length)) {
        LogMessage(corvel::kLogInfo, "Reading packet from socket failed.");
        return false;
    }
    if (header.commandType != corvel::kCommandToken) {
        LogMessage(corvel::kLogError, "Invalid cmd type received %d.", header.commandType);
        return false;
    }
    if (!port.exchange(session.buffer.data(), header.length, session.replyLength)) {
        LogMessage(corvel::kLogError, "Failed to transmit USB cmd to %s.", port.serial().c_str());
        return false;
    }
    if (!WriteFully(fd, session.buffer.data(), session.replyLength)) {
        LogMessage(corvel::kLogError, "Socket write failed.");
        return false;
    }
    return true;
}

}  // namespace

void HandleUnixClient(int fd, CThreadSafeUSBPort* port)
{
    ClientSession session;
    while (port != nullptr && ServeRequest(fd, *port, session)) {
    }
    close(fd);
}

}  // namespace vexa::daemon
