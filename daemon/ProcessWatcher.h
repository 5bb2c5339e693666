#pragma once
#include <poll.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace vexa::daemon {

// Learns when processes end: one thread for the whole daemon waits on their
// pidfds, so that what a process left on a token is cleaned up soon after it
// ends, whether or not anything else happens meanwhile.
class CProcessWatcher {
public:
    // Runs once, on the watcher's thread, when the process has ended. It must
    // not wait for a token: it hands such work to a thread of its own.
    using Ended = std::function<void()>;

    // The daemon's one watcher, started on first use; it is never destroyed,
    // so that threads still running when the daemon exits find it in place.
    static CProcessWatcher& daemonWide();

    // Watches a copy of pidfd (the caller keeps its own); the handle for
    // forget(), 0 when the copy cannot be made.
    uint64_t watch(int pidfd, Ended ended);
    // Stops watching. An ended already on its way may still run once, so
    // it must cope with a process it no longer cares for. Unknown handles,
    // and 0, are ignored.
    void forget(uint64_t handle);

    CProcessWatcher(const CProcessWatcher&) = delete;
    CProcessWatcher& operator=(const CProcessWatcher&) = delete;

private:
    struct Entry {
        uint64_t handle;
        int pidfd;  // the watcher's own copy; closed by the watcher's thread alone
        Ended ended;
        bool forgotten;
    };

    CProcessWatcher();
    void run();
    // The pidfds to wait on, the wake-up first.
    std::vector<pollfd> waitList();
    // Takes the callbacks of the ended processes and closes the pidfds that
    // are done with.
    std::vector<Ended> sweep(const std::vector<pollfd>& polled);
    void wake();

    int m_wake = -1;     // eventfd: the entries have changed
    std::mutex m_mutex;  // guards m_entries, m_next and m_started
    std::vector<Entry> m_entries;
    uint64_t m_next = 1;
    bool m_started = false;
};

}  // namespace vexa::daemon
