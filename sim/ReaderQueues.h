#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>

#include "DeviceFraming.h"

namespace vexa::sim {

// The input reports waiting for each open handle of one hidraw device. Every
// handle gets its own copy of every report sent while it is open, in a ring of
// 64 slots, one of which stays free: at most 63 reports wait, and a report
// that finds a handle's ring full is lost for that handle while the older
// ones stay (the kernel's hidraw does exactly this).
//
// A real endpoint carries one report per millisecond, so a handle that keeps
// reading never fills its ring; the simulated token is far faster. It
// therefore holds a report back while a full ring's reader may still make
// room: for `patience`, counted from the first report that found the ring
// full since that reader last read. Only a reader that lets that time pass
// has stopped: its ring keeps what it has and newer reports are lost for it
// until it reads again. So a reader that is still reading never loses a
// report, however long ago it last read before the burst began, and a handle
// nobody reads (a process gone without its close being seen, one waiting for
// a lock) holds the token back once, for `patience`, and then no more.
//
// Not thread-safe; time is passed in, so the rules can be tested without
// waiting.
class CReaderQueues {
public:
    using Clock = std::chrono::steady_clock;
    using Id = uint64_t;
    // Reports a handle can have waiting: a ring of 64 with one slot kept free.
    static constexpr size_t kCapacity = 63;

    explicit CReaderQueues(Clock::duration patience) : m_patience(patience) {}

    // A new handle: it sees only reports pushed from now on.
    Id add();
    void remove(Id id);
    bool contains(Id id) const { return m_readers.count(id) != 0; }
    size_t size(Id id) const;
    // Whether the handle let its patience pass with a full ring and has not
    // read since.
    bool stopped(Id id) const;
    // The handle's oldest waiting report; none when it has nothing waiting.
    std::optional<Report> take(Id id);

    // Until when the next report must be held back for a reader that may
    // still make room; none when it can go out now. Readers whose patience
    // ran out by `now` are marked stopped.
    std::optional<Clock::time_point> holdUntil(Clock::time_point now);
    // Hands the report to every handle with room; returns how many handles
    // lost it because their ring was full.
    size_t push(const Report& report);

private:
    struct Reader {
        std::deque<Report> reports;
        std::optional<Clock::time_point> fullSince;  // when a report first found the ring full
        bool stopped = false;
    };

    const Clock::duration m_patience;
    std::map<Id, Reader> m_readers;
    Id m_nextId = 1;
};

}  // namespace vexa::sim
