#pragma once
// The token keeps one set of sessions for everyone who reaches it; the
// daemon shares them out. It reads the few fields of each message that say
// what the call does to the sessions (wire/Peek.h, wire/CallTable.h) and
// still passes the client's bytes on unchanged, so that:
//
// - a session belongs to the client that opened it: a request that names
//   another client's session is answered CKR_SESSION_HANDLE_INVALID without
//   reaching the token;
// - C_CloseAllSessions closes the asking client's sessions only;
// - the sessions of a client that has gone are closed, and with the last
//   session of the token its login ends.
//
// A client is a process on the Unix sockets (all its connections to one
// token are one client, and it keeps its sessions while it lives, since the
// library reconnects after a failure) and a connection over TLS. A session
// the daemon never saw opened (the daemon started after it) is passed on,
// and belongs to the first client it succeeds for.
#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ClientPacket.h"
#include "wire/CallTable.h"

namespace vexa::daemon {

// A client of one token, as the broker numbers them; never 0.
using ClientId = uint64_t;

enum class ExchangeOutcome {
    Replied,  // the reply (possibly empty after a time-out) is in the buffer
    Failed,   // logged; the connection ends
    Dropped,  // the request was no longer wanted and never reached the token
};

// The token as the broker reaches it: sends the request of length bytes in
// buffer (kBrokerBuffer bytes large) and reads the reply into the same
// buffer, spaced from the token's other exchanges like every request.
class ITokenLink {
public:
    virtual ExchangeOutcome transfer(uint8_t* buffer, uint32_t length, uint32_t& replyLength) = 0;

protected:
    ~ITokenLink() = default;
};

// Where the broker asks to hear of a process's end: ended(client) is to
// reach the broker later, through its owner. watch returns a handle for
// forget, 0 when the process is not watched.
class IProcessWatch {
public:
    virtual uint64_t watch(int pidfd, ClientId client) = 0;
    virtual void forget(uint64_t handle) = 0;

protected:
    ~IProcessWatch() = default;
};

inline constexpr size_t kBrokerBuffer = corvel::kDaemonPayloadMax;

// One token's sessions and clients. Not thread-safe: its owner, the token's
// port, calls it under the port's lock, so that the table follows the
// token's exchanges in their order.
class CSessionBroker {
public:
    // token: the serial, for log lines. watch may be null: processes are then
    // looked at only when their last connection ends.
    CSessionBroker(std::string token, IProcessWatch* watch);
    // Closes the pidfds and stops the watches; sends nothing to the token.
    ~CSessionBroker();
    CSessionBroker(const CSessionBroker&) = delete;
    CSessionBroker& operator=(const CSessionBroker&) = delete;

    // A further connection of the process of pidfd (which the broker takes
    // over). A pid of 0 or a pidfd of -1 makes the connection a client of
    // its own.
    ClientId attachProcess(pid_t pid, int pidfd);
    // A connection that is a client of its own; label names it in log lines.
    ClientId attachConnection(std::string label);
    // A connection of the client has ended. A client that has gone (its last
    // connection ended, and its process, if it has one, has ended) has its
    // sessions closed.
    void detach(ClientId client, ITokenLink& token);
    // The client's process has ended; once it has no connection left, its
    // sessions are closed.
    void processEnded(ClientId client, ITokenLink& token);

    // Serves one request of the client in buffer (kBrokerBuffer bytes large),
    // leaving the reply in its place: passed on to the token unchanged, or
    // answered here.
    ExchangeOutcome serve(ClientId client, uint8_t* buffer, uint32_t length, uint32_t& replyLength, ITokenLink& token);

    // The token has gone (its port is retired): it has lost its sessions.
    void clear();

    // For tests and log lines.
    std::optional<ClientId> ownerOf(uint32_t session) const;
    size_t sessionCount() const { return m_sessions.size(); }
    size_t clientCount() const { return m_clients.size(); }

private:
    struct Client {
        ClientId id = 0;
        pid_t pid = 0;       // 0: a connection of its own
        int pidfd = -1;      // owned; -1 for a connection of its own
        uint64_t watch = 0;  // the watcher's handle, 0 when not watched
        uint32_t connections = 0;
        bool ended = false;  // its process has ended
        std::string label;   // "process 1234", "TLS client 3 (127.0.0.1)"
    };
    struct Held {
        uint32_t session;
        ClientId owner;
    };
    // What the broker makes of a request.
    struct Look {
        const wire::Call* call = nullptr;  // null: not a request it can read
        std::optional<uint32_t> session;   // for a call on a session
    };

    static Look look(const uint8_t* message, uint32_t length);
    Client* find(ClientId client);
    Held* held(uint32_t session);
    void hold(uint32_t session, ClientId owner);
    void release(uint32_t session);
    bool owns(ClientId client) const;
    void learn(ClientId client, const Look& request, bool known, const uint8_t* reply, uint32_t length);
    void refuse(ClientId client, const Look& request, uint8_t* buffer, uint32_t& replyLength);
    ExchangeOutcome closeAll(ClientId client, uint8_t* buffer, uint32_t& replyLength, ITokenLink& token);
    // Closes the client's sessions on the token: the rv to report (CKR_OK,
    // or the first refusal), or nothing when the token failed or did not
    // answer; closed counts the sessions closed.
    std::optional<uint32_t> closeSessionsOf(ClientId client, uint8_t* buffer, ITokenLink& token, size_t& closed,
                                            ExchangeOutcome& outcome);
    void depart(std::vector<Client>::iterator client, ITokenLink& token);
    void drop(std::vector<Client>::iterator client);

    const std::string m_token;
    IProcessWatch* const m_watch;
    ClientId m_next = 1;
    std::vector<Client> m_clients;
    std::vector<Held> m_sessions;
    std::array<uint8_t, kBrokerBuffer> m_scratch{};  // the broker's own requests, for a client that has gone
};

}  // namespace vexa::daemon
