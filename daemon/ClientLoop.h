#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>

#include "ClientPacket.h"
#include "USBPort.h"

namespace vexa::daemon {

// A client connection as the request loop sees it: Unix socket or TLS.
class CClientStream : public corvel::IClientByteSource {
public:
    // Called before each request's header is read.
    virtual void beginRequest() {}
    virtual bool writeAll(const uint8_t* data, size_t length) = 0;
    // True once the peer has closed the connection or it has failed. A peer
    // that has only shut down its sending side is still there: it waits for
    // its reply.
    virtual bool peerGone() = 0;
    // Log why a header stopped after count bytes, or a payload early.
    virtual void logHeaderEnd(size_t count) = 0;
    // Whether a header that stopped after count bytes was the client closing
    // the connection between requests, its normal way to leave.
    virtual bool leftBetweenRequests(size_t count) const
    {
        (void)count;
        return false;
    }
    virtual void logPayloadEnd() = 0;
};

// peerGone for a connected socket: only a hang-up or an error counts. A peer
// that shut down its sending side leaves the socket readable at end of
// stream; over TCP a peer's close looks the same until a reset arrives.
bool socketHungUp(int fd);

using TokenOutcome = CThreadSafeUSBPort::Outcome;

// Passes the request of length bytes in buffer (4096 bytes large) to the
// token and leaves the reply in its place. stillWanted is asked right before
// the request would go to the token (after any wait for it): false drops the
// request. Anything but Replied ends the connection; a failed exchange has
// logged why.
using TokenExchange = std::function<TokenOutcome(uint8_t* buffer, uint32_t length, uint32_t& replyLength,
                                                 const std::function<bool()>& stillWanted)>;

// Where the Unix and TLS loops differ.
struct ClientLoopRules {
    // TLS answers a command type other than 0 with its own payload; Unix
    // ends the connection with "Invalid cmd type received %d.".
    bool echoOtherCommands;
    // Unix ends with "Socket write failed." when a reply cannot be written;
    // TLS drops the rest of that reply and reads on.
    bool endOnFailedReply;
    // Unix adds "Reading packet from socket failed." to every request that
    // could not be read, but not to a client leaving between requests.
    bool noteFailedRead;
};

// Serves requests one after the other until the client leaves or a step
// fails. The caller closes the connection.
void serveClient(CClientStream& stream, const TokenExchange& token, const ClientLoopRules& rules);

}  // namespace vexa::daemon
