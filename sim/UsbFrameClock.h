#pragma once
#include <chrono>

namespace vexa::sim {

// A full-speed USB interrupt endpoint moves at most one report per 1 ms frame
// in each direction. Hands out the frame in which the next report of a
// direction travels. Not thread-safe; the two directions are independent, so
// each may be driven by a thread of its own.
class CUsbFrameClock {
public:
    using Clock = std::chrono::steady_clock;

    Clock::time_point nextOut() { return claim(m_out); }
    Clock::time_point nextIn() { return claim(m_in); }

private:
    static Clock::time_point claim(Clock::time_point& nextFree);

    Clock::time_point m_out{};
    Clock::time_point m_in{};
};

}  // namespace vexa::sim
