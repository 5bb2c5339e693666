#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "DeviceFraming.h"
#include "Firmware.h"
#include "TokenDescription.h"
#include "TokenFaults.h"
#include "Trace.h"
#include "UsbFrameClock.h"

namespace vexa::sim {

// One plugged-in token behind its endpoints. Two threads of its own (a slow
// firmware never holds up the umockdev worker or other tokens): the endpoint
// thread takes the bytes the host wrote and runs them through the framing,
// answering at once what the framing answers itself (INIT, protocol errors, a
// busy channel); the firmware thread runs faults and firmware on one request
// at a time and sends its reply. So the token keeps taking output reports
// while its firmware works, as a real one does, and the framing decides what
// a second request meanwhile gets. Input reports go to `deliver`, one at a
// time, each in a frame of its own under USB timing.
class CTokenDevice {
public:
    using Deliver = std::function<void(const Report&)>;
    // Told true when the firmware starts on a request and false once its
    // answer (if any) is out: while it works, the token is not silent.
    using Working = std::function<void(bool)>;
    // Completes the host's write: true once the endpoint took the bytes,
    // false when the token went away first.
    using Written = std::function<void(bool taken)>;

    CTokenDevice(const TokenDescription& description, std::unique_ptr<IFirmware> firmware, CTokenFaults& faults,
                 CTrace* trace, bool usbTiming, Deliver deliver, Working working = nullptr);
    ~CTokenDevice();
    CTokenDevice(const CTokenDevice&) = delete;
    CTokenDevice& operator=(const CTokenDevice&) = delete;

    // Bytes of one host write with a leading report id 0 already removed.
    // Without USB timing the caller completes the write itself and passes an
    // empty `written`; with it the token completes it once the last report
    // has had its frame.
    void receive(std::vector<uint8_t> bytes, Written written);

private:
    struct Write {
        std::vector<uint8_t> bytes;
        Written written;
        FramingClock::time_point arrived;
    };

    void runEndpoint();
    // The next write, or none when stopping or when the framing's deadline
    // for a partial request passed first.
    std::optional<Write> nextWrite();
    void expirePartialRequest();
    void runFirmware();
    void process(Write& write);
    // Faults and firmware on one request: the reports to send, with the
    // framing's transaction already finished.
    Reports answer(const std::vector<uint8_t>& request);
    // The reports f makes of the framing, and the end of its transaction.
    template <typename F>
    Reports finishWith(F f);
    void answerReceived(Received received);
    void send(const Reports& reports);
    bool waitUntil(CUsbFrameClock::Clock::time_point when);  // false when stopping

    const TokenDescription m_description;
    const std::unique_ptr<IFirmware> m_firmware;
    CTokenFaults& m_faults;
    CTrace* const m_trace;
    const bool m_usbTiming;
    const Deliver m_deliver;
    const Working m_working;

    std::mutex m_framingMutex;  // guards m_framing
    const std::unique_ptr<IDeviceFraming> m_framing;
    // Its output side is the endpoint thread's; its input side is guarded by
    // m_inMutex, which also keeps calls of m_deliver one at a time.
    CUsbFrameClock m_clock;
    std::mutex m_inMutex;

    std::mutex m_mutex;  // guards m_writes, m_requests and m_stopping
    std::condition_variable m_wake;
    std::deque<Write> m_writes;
    std::deque<std::vector<uint8_t>> m_requests;
    bool m_stopping = false;
    std::thread m_endpointThread;
    std::thread m_firmwareThread;
};

}  // namespace vexa::sim
