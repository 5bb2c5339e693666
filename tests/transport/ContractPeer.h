#pragma once
// The peer of a transport under the shared contract of CTransport: a token
// behind the fake HID layer, or a fake daemon behind a Unix socket or TLS.
// Each peer answers a request with its bytes reversed, unless told to treat
// it otherwise.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "CTransport.h"

namespace contract {

using Bytes = std::vector<uint8_t>;

Bytes reversed(const Bytes& bytes);

// What the peer does with one request.
enum class Act {
    Answer,      // replies at once
    Silent,      // never replies
    Late,        // replies only after the reader has given up (releaseLate)
    Stalled,     // sends the start of its reply at once, the rest after the reader has given up
    Garbled,     // sends bytes that are not a message of the framing
    TokenError,  // the token reports a framing error of its own
    HangUp,      // instead of a reply, the device goes away (and is back at once) or
                 // the daemon closes the connection (and serves the next one)
};

const char* actName(Act act);

// The requests a peer got and what it is to do with the next ones. Shared
// with a fake daemon's thread.
class Script {
public:
    // The acts for the next requests, in order; Answer once they are used up.
    void plan(std::vector<Act> acts);
    // Records a request as it arrived and gives its act.
    Act take(const Bytes& request);
    std::vector<Bytes> requests();
    // Lets one held reply go.
    void release();
    // Waits (bounded) until release; false when none came.
    bool awaitRelease();
    // Lets every held reply go, now and later: the peer is being torn down.
    void releaseAll();

private:
    std::mutex m_mutex;  // guards the members below
    std::condition_variable m_released;
    std::deque<Act> m_plan;
    std::vector<Bytes> m_requests;
    int m_releases = 0;
    bool m_releaseAll = false;
};

// One transport with its peer.
class Peer {
public:
    virtual ~Peer() = default;

    virtual corvel::CTransport& transport() = 0;
    Script& script() { return m_script; }
    // Whether this peer can treat a request so.
    virtual bool can(Act act) const = 0;
    // The reply held back by Late or Stalled goes out now.
    virtual void releaseLate() = 0;
    // The device is unplugged, or the daemon stops: open connections or
    // handles fail, and nothing is there to open.
    virtual void unplug() = 0;
    // The device is plugged in again, or the daemon started again.
    virtual void replug() = 0;
    // How many connections (device handles) the transport has opened to the peer.
    virtual int connections() = 0;
    // The longest request the framing carries.
    virtual size_t longestRequest() const = 0;
    // The token leaves unanswered what the transport sends to get back in
    // step with it (only where that asks the token for an answer).
    virtual void muteResync(bool muted) { (void)muted; }

protected:
    Script m_script;
};

// A transport kind and what sets it apart from the others.
struct Backend {
    std::string name;
    std::function<std::unique_ptr<Peer>()> make;
    // A stream transport closes itself on every read failure; a device
    // transport stays open unless the device went away.
    bool stream;
    // Replies come framed, so that a part of one or a broken one shows.
    bool framedReplies;
    // Getting back in step after an abandoned reply needs the token's answer.
    bool resyncAsksTheToken;
};

std::unique_ptr<Peer> makeHidPeer(bool u2f);
std::unique_ptr<Peer> makeUnixPeer();
std::unique_ptr<Peer> makeTlsPeer();

}  // namespace contract
