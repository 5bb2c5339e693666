#pragma once
#include <atomic>
#include <cstdint>

namespace vexa::sim {

// Faults injected by control lines. They belong to the serial number, not to
// one plugged-in instance, so they survive unplug and plug. Set from the
// control thread, consumed by the token thread.
class TokenFaults {
public:
    enum class Kind { None, Stall, Error, Garble };
    struct Fault {
        Kind kind = Kind::None;
        uint8_t code = 0;
    };

    void setStall(bool on) { stalled_ = on; }
    void failNext(uint8_t code) { errorCode_ = code; }
    void garbleNext() { garble_ = true; }

    // The fault for the request that just arrived; one-shot faults are used up.
    // A stall wins over the others and leaves them pending.
    Fault take();

private:
    static constexpr int kNoError = -1;
    std::atomic<bool> stalled_{false};
    std::atomic<int> errorCode_{kNoError};
    std::atomic<bool> garble_{false};
};

}  // namespace vexa::sim
