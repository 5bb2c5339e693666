#include "ClientLoop.h"

#include <poll.h>

#include "DaemonLog.h"

namespace vexa::daemon {
namespace {

static_assert(corvel::kDaemonPayloadMax == kMaxMessage, "the payload buffer also holds the token's reply");

// Per-connection state: the payload is read into buffer and the token's reply
// overwrites it in place, so a request costs no allocation.
struct ClientSession {
    corvel::ClientPayloadBuffer buffer;
    uint32_t replyLength = 0;
};

// Logs why a request could not be read; false when it was read whole.
bool ReportUnreadRequest(CClientStream& stream, const corvel::ClientRequest& request)
{
    switch (request.outcome) {
    case corvel::ClientRequestOutcome::ShortHeader:
        stream.logHeaderEnd(request.received);
        return true;
    case corvel::ClientRequestOutcome::LengthTooBig:
        LogMessage(corvel::kLogError, "packet len too big %u", request.header.length);
        return true;
    case corvel::ClientRequestOutcome::ShortPayload:
        stream.logPayloadEnd();
        LogMessage(corvel::kLogError, "Short packet read, expected %d got %d", static_cast<int>(request.header.length),
                   static_cast<int>(request.received));
        return true;
    case corvel::ClientRequestOutcome::Complete:
    case corvel::ClientRequestOutcome::OtherCommand:
        break;
    }
    return false;
}

// Fills the session's reply for a request read whole; false ends the
// connection.
bool Answer(CClientStream& stream, const TokenExchange& token, const ClientLoopRules& rules,
            const corvel::ClientRequest& request, ClientSession& session)
{
    const uint32_t length = request.header.length;
    if (request.outcome == corvel::ClientRequestOutcome::OtherCommand) {
        if (!rules.echoOtherCommands) {
            LogMessage(corvel::kLogError, "Invalid cmd type received %d.", request.header.commandType);
            return false;
        }
        session.replyLength = length;
        return true;
    }
    // A request that nobody will read would only change the token's state.
    const auto stillWanted = [&stream] { return !stream.peerGone(); };
    switch (token(session.buffer.data(), length, session.replyLength, stillWanted)) {
    case TokenOutcome::Dropped:
        LogMessage(corvel::kLogInfo, "Client left before its request reached the token; request dropped.");
        return false;
    case TokenOutcome::Failed:
        return false;
    case TokenOutcome::Replied:
        break;
    }
    // The reply is written from the buffer: a longer one has no place there
    // and must not reach this client or, in part, the next.
    if (session.replyLength > session.buffer.size()) {
        LogMessage(corvel::kLogError, "Token reply of %u bytes is longer than %u; dropped.", session.replyLength,
                   kMaxMessage);
        return false;
    }
    return true;
}

// One request and its reply; false ends the connection.
bool ServeRequest(CClientStream& stream, const TokenExchange& token, const ClientLoopRules& rules,
                  ClientSession& session)
{
    stream.beginRequest();
    const corvel::ClientRequest request = corvel::readClientRequest(stream, session.buffer);
    if (ReportUnreadRequest(stream, request)) {
        const bool left = request.outcome == corvel::ClientRequestOutcome::ShortHeader &&
                          stream.leftBetweenRequests(request.received);
        if (rules.noteFailedRead && !left) {
            LogMessage(corvel::kLogInfo, "Reading packet from socket failed.");
        }
        return false;
    }
    if (!Answer(stream, token, rules, request, session)) {
        return false;
    }
    if (!stream.writeAll(session.buffer.data(), session.replyLength) && rules.endOnFailedReply) {
        LogMessage(corvel::kLogError, "Socket write failed.");
        return false;
    }
    return true;
}

}  // namespace

bool socketHungUp(int fd)
{
    pollfd state{fd, 0, 0};
    return poll(&state, 1, 0) > 0 && (state.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

void serveClient(CClientStream& stream, const TokenExchange& token, const ClientLoopRules& rules)
{
    ClientSession session;
    while (ServeRequest(stream, token, rules, session)) {
    }
}

}  // namespace vexa::daemon
