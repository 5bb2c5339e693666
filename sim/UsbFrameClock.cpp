#include "UsbFrameClock.h"

#include <algorithm>

namespace vexa::sim {

CUsbFrameClock::Clock::time_point CUsbFrameClock::claim(Clock::time_point& nextFree)
{
    using std::chrono::milliseconds;
    // A report waits for the start of the next frame, and for the frame after
    // the previous report of the same direction.
    const auto frameStart = std::chrono::ceil<milliseconds>(Clock::now().time_since_epoch());
    const Clock::time_point slot = std::max(Clock::time_point(frameStart), nextFree);
    nextFree = slot + milliseconds(1);
    return slot;
}

}  // namespace vexa::sim
