#pragma once
#include <cstddef>
#include <mutex>
#include <set>

namespace vexa::daemon {

// The connected clients of one token's socket. Shared by its device thread,
// which admits them and hangs them up when the token goes out of service, and
// their connection threads, which outlive it.
class CClientConnections {
public:
    explicit CClientConnections(size_t limit) : m_limit(limit) {}

    // Records the connection; false, recording nothing, when the token
    // already has its limit of clients.
    bool admit(int fd);
    // Forgets the connection; its thread closes it right after, so that
    // hangUpAll never touches a descriptor number used again.
    void leave(int fd);
    // Shuts every connection down: their threads' reads end, and their
    // clients learn at once that the connection is gone, not from a failed
    // request (a library then reconnects before it sends).
    void hangUpAll();

    size_t count();
    size_t limit() const { return m_limit; }

private:
    const size_t m_limit;
    std::mutex m_mutex;  // guards m_fds
    std::set<int> m_fds;
};

}  // namespace vexa::daemon
