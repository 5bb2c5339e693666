#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "DeviceFraming.h"
#include "Firmware.h"
#include "TokenDescription.h"
#include "TokenFaults.h"
#include "Trace.h"
#include "UsbFrameClock.h"

namespace vexa::sim {

// One plugged-in token behind its endpoints: takes the bytes the host wrote,
// runs framing, faults and firmware on a thread of its own (a slow firmware
// never holds up the umockdev worker or other tokens), and hands input
// reports to `deliver`.
class TokenDevice {
public:
    using Deliver = std::function<void(const Report&)>;
    // Completes the host's write: true once the endpoint took the bytes,
    // false when the token went away first.
    using Written = std::function<void(bool taken)>;

    TokenDevice(const TokenDescription& description, std::unique_ptr<IFirmware> firmware, TokenFaults& faults,
                Trace* trace, bool usbTiming, Deliver deliver);
    ~TokenDevice();
    TokenDevice(const TokenDevice&) = delete;
    TokenDevice& operator=(const TokenDevice&) = delete;

    // Bytes of one host write with a leading report id 0 already removed.
    // Without USB timing the caller completes the write itself and passes an
    // empty `written`; with it the token completes it once the last report
    // has had its frame.
    void receive(std::vector<uint8_t> bytes, Written written);

private:
    struct Write {
        std::vector<uint8_t> bytes;
        Written written;
    };

    void run();
    void process(Write& write);
    void handleRequest(std::vector<uint8_t> request);
    void send(const Reports& reports);
    bool waitUntil(UsbFrameClock::Clock::time_point when);  // false when stopping

    const TokenDescription m_description;
    const std::unique_ptr<IFirmware> m_firmware;
    TokenFaults& m_faults;
    Trace* const m_trace;
    const bool m_usbTiming;
    const Deliver m_deliver;
    const std::unique_ptr<IDeviceFraming> m_framing;
    UsbFrameClock m_clock;  // token thread only

    std::mutex m_mutex;  // guards m_writes and m_stopping
    std::condition_variable m_wake;
    std::deque<Write> m_writes;
    bool m_stopping = false;
    std::thread m_thread;
};

}  // namespace vexa::sim
