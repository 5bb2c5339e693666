#pragma once
#include <atomic>
#include <cstdint>

namespace vexa::sim {

// Faults injected by control lines. They belong to the serial number, not to
// one plugged-in instance, so they survive unplug and plug. Set from the
// control thread, consumed by the token thread.
class CTokenFaults {
public:
    enum class Kind { None, Stall, Error, Garble };
    struct Fault {
        Kind kind = Kind::None;
        uint8_t code = 0;
    };

    void setStall(bool on) { m_stalled = on; }
    void failNext(uint8_t code) { m_errorCode = code; }
    void garbleNext() { m_garble = true; }

    // The fault for the request that just arrived; one-shot faults are used up.
    // A stall wins over the others and leaves them pending.
    Fault take();

private:
    static constexpr int kNoError = -1;
    std::atomic<bool> m_stalled{false};
    std::atomic<int> m_errorCode{kNoError};
    std::atomic<bool> m_garble{false};
};

}  // namespace vexa::sim
