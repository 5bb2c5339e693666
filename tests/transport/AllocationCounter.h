#pragma once
#include <cstddef>

// Counts heap allocations on the calling thread while counting is on. In a
// plain build the test binary replaces the global operator new to feed it;
// under a sanitizer, whose runtime owns operator new and malloc, the
// sanitizer's allocation hook feeds it instead (and then sees malloc too).
namespace allocation {

void startCounting();
// Stops counting and returns the number of allocations seen since start.
size_t stopCounting();

// Keeps the fake HID layer's own bookkeeping out of the count.
class Pause {
public:
    Pause();
    ~Pause();
    Pause(const Pause&) = delete;
    Pause& operator=(const Pause&) = delete;

private:
    bool m_wasCounting;
};

}  // namespace allocation
