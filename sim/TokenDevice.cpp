#include "TokenDevice.h"

#include <algorithm>
#include <cstdio>
#include <exception>

#include "SimLog.h"

namespace vexa::sim {

CTokenDevice::CTokenDevice(const TokenDescription& description, std::unique_ptr<IFirmware> firmware,
                           CTokenFaults& faults, CTrace* trace, bool usbTiming, Deliver deliver, Working working)
    : m_description(description),
      m_firmware(std::move(firmware)),
      m_faults(faults),
      m_trace(trace),
      m_usbTiming(usbTiming),
      m_deliver(std::move(deliver)),
      m_working(std::move(working)),
      m_framing(makeDeviceFraming(description.framing))
{
    m_endpointThread = std::thread([this] { runEndpoint(); });
    m_firmwareThread = std::thread([this] { runFirmware(); });
}

CTokenDevice::~CTokenDevice()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_endpointThread.join();
    m_firmwareThread.join();
    for (Write& w : m_writes) {
        if (w.written) {
            w.written(false);
        }
    }
}

void CTokenDevice::receive(std::vector<uint8_t> bytes, Written written)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_stopping) {
            m_writes.push_back({std::move(bytes), std::move(written), FramingClock::now()});
            m_wake.notify_all();
            return;
        }
    }
    if (written) {
        written(false);
    }
}

void CTokenDevice::runEndpoint()
{
    for (;;) {
        if (std::optional<Write> write = nextWrite()) {
            process(*write);
            continue;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stopping) {
                return;
            }
        }
        expirePartialRequest();
    }
}

// Only this thread feeds the framing reports, so the deadline read here
// cannot move while it waits.
std::optional<CTokenDevice::Write> CTokenDevice::nextWrite()
{
    std::optional<FramingClock::time_point> deadline;
    {
        std::lock_guard<std::mutex> lock(m_framingMutex);
        deadline = m_framing->deadline();
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto ready = [this] { return m_stopping || !m_writes.empty(); };
    if (deadline) {
        m_wake.wait_until(lock, *deadline, ready);
    } else {
        m_wake.wait(lock, ready);
    }
    if (m_stopping || m_writes.empty()) {
        return std::nullopt;
    }
    Write write = std::move(m_writes.front());
    m_writes.pop_front();
    return write;
}

void CTokenDevice::expirePartialRequest()
{
    Received received;
    {
        std::lock_guard<std::mutex> lock(m_framingMutex);
        received = m_framing->expire(FramingClock::now());
    }
    answerReceived(std::move(received));
}

void CTokenDevice::runFirmware()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stopping || !m_requests.empty(); });
        if (m_stopping) {
            return;
        }
        const std::vector<uint8_t> request = std::move(m_requests.front());
        m_requests.pop_front();
        lock.unlock();
        if (m_working) {
            m_working(true);
        }
        send(answer(request));
        if (m_working) {
            m_working(false);
        }
        lock.lock();
    }
}

bool CTokenDevice::waitUntil(CUsbFrameClock::Clock::time_point when)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return !m_wake.wait_until(lock, when, [this] { return m_stopping; });
}

void CTokenDevice::process(Write& write)
{
    if (write.bytes.empty() && write.written) {
        write.written(true);
    }
    // The endpoint takes one report per packet; a longer write arrives as
    // several reports, a short one as a short report.
    for (size_t offset = 0; offset < write.bytes.size(); offset += kReportSize) {
        // A report arrives when the host wrote it, or under USB timing in its frame.
        FramingClock::time_point at = write.arrived;
        if (m_usbTiming) {
            at = std::max(at, m_clock.nextOut());
            if (!waitUntil(at)) {
                if (write.written) {
                    write.written(false);
                }
                return;
            }
        }
        const size_t length = std::min(kReportSize, write.bytes.size() - offset);
        Received received;
        {
            std::lock_guard<std::mutex> lock(m_framingMutex);
            received = m_framing->receive(write.bytes.data() + offset, length, at);
        }
        if (offset + length == write.bytes.size() && write.written) {
            write.written(true);
            write.written = nullptr;
        }
        answerReceived(std::move(received));
    }
}

void CTokenDevice::answerReceived(Received received)
{
    if (received.gaveUp) {
        logVerbose("%s: a partial request was given up, its host stopped sending", m_description.serial.c_str());
    }
    send(received.answer);
    if (received.request) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_requests.push_back(std::move(*received.request));
        m_wake.notify_all();
    }
}

template <typename F>
Reports CTokenDevice::finishWith(F f)
{
    std::lock_guard<std::mutex> lock(m_framingMutex);
    Reports reports = f(*m_framing);
    m_framing->finish();
    return reports;
}

// The transaction ends as its answer is handed to the input endpoint: a
// request that comes while the answer's reports go out is taken.
Reports CTokenDevice::answer(const std::vector<uint8_t>& request)
{
    if (m_trace) {
        m_trace->record(m_description.serial, "in", request);
    }
    logVerbose("%s: request of %zu bytes", m_description.serial.c_str(), request.size());
    const CTokenFaults::Fault fault = m_faults.take();
    if (fault.kind == CTokenFaults::Kind::Stall) {
        return finishWith([](IDeviceFraming&) { return Reports{}; });
    }
    if (fault.kind == CTokenFaults::Kind::Error) {
        if (m_trace) {
            m_trace->record(m_description.serial, "error", {fault.code});
        }
        return finishWith([&](IDeviceFraming& framing) { return framing.error(fault.code); });
    }
    std::vector<uint8_t> reply;
    bool answered = false;
    try {
        answered = m_firmware->handle(request, reply);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vexa-token-sim: %s: firmware failed: %s\n", m_description.serial.c_str(), e.what());
    }
    if (!answered) {
        return finishWith([](IDeviceFraming&) { return Reports{}; });
    }
    if (m_trace) {
        m_trace->record(m_description.serial, "out", reply);
    }
    const bool garble = fault.kind == CTokenFaults::Kind::Garble;
    return finishWith(
        [&](IDeviceFraming& framing) { return garble ? framing.garbledReply(reply) : framing.reply(reply); });
}

// Reports of different messages may interleave, as on a real endpoint; the
// framing keeps them apart (U2FHID channels) or never sends two at once.
void CTokenDevice::send(const Reports& reports)
{
    for (const Report& report : reports) {
        std::lock_guard<std::mutex> lock(m_inMutex);
        if (m_usbTiming && !waitUntil(m_clock.nextIn())) {
            return;
        }
        m_deliver(report);
    }
}

}  // namespace vexa::sim
