#include "TokenDevice.h"

#include <algorithm>
#include <cstdio>
#include <exception>

#include "SimLog.h"

namespace vexa::sim {

TokenDevice::TokenDevice(const TokenDescription& description, std::unique_ptr<IFirmware> firmware, TokenFaults& faults,
             Trace* trace, bool usbTiming, Deliver deliver)
    : description_(description),
      firmware_(std::move(firmware)),
      faults_(faults),
      trace_(trace),
      usbTiming_(usbTiming),
      deliver_(std::move(deliver)),
      framing_(makeDeviceFraming(description.framing)) {
    thread_ = std::thread([this] { run(); });
}

TokenDevice::~TokenDevice() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
    for (Write& w : writes_)
        if (w.written)
            w.written(false);
}

void TokenDevice::receive(std::vector<uint8_t> bytes, Written written) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!stopping_) {
            writes_.push_back({std::move(bytes), std::move(written)});
            wake_.notify_all();
            return;
        }
    }
    if (written)
        written(false);
}

void TokenDevice::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !writes_.empty(); });
        if (stopping_)
            return;
        Write write = std::move(writes_.front());
        writes_.pop_front();
        lock.unlock();
        process(write);
        lock.lock();
    }
}

bool TokenDevice::waitUntil(UsbFrameClock::Clock::time_point when) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !wake_.wait_until(lock, when, [this] { return stopping_; });
}

void TokenDevice::process(Write& write) {
    if (write.bytes.empty() && write.written)
        write.written(true);
    // The endpoint takes one report per packet; a longer write arrives as
    // several reports, a short one as a short report.
    for (size_t offset = 0; offset < write.bytes.size(); offset += kReportSize) {
        if (usbTiming_ && !waitUntil(clock_.nextOut())) {
            if (write.written)
                write.written(false);
            return;
        }
        const size_t length = std::min(kReportSize, write.bytes.size() - offset);
        Received received = framing_->receive(write.bytes.data() + offset, length);
        if (offset + length == write.bytes.size() && write.written) {
            write.written(true);
            write.written = nullptr;
        }
        send(received.answer);
        if (received.request)
            handleRequest(std::move(*received.request));
    }
}

void TokenDevice::handleRequest(std::vector<uint8_t> request) {
    if (trace_)
        trace_->record(description_.serial, "in", request);
    logVerbose("%s: request of %zu bytes", description_.serial.c_str(), request.size());
    const TokenFaults::Fault fault = faults_.take();
    if (fault.kind == TokenFaults::Kind::Stall)
        return;
    if (fault.kind == TokenFaults::Kind::Error) {
        if (trace_)
            trace_->record(description_.serial, "error", {fault.code});
        send(framing_->error(fault.code));
        return;
    }
    std::vector<uint8_t> reply;
    bool answered = false;
    try {
        answered = firmware_->handle(request, reply);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vexa-token-sim: %s: firmware failed: %s\n", description_.serial.c_str(), e.what());
    }
    if (!answered)
        return;
    if (trace_)
        trace_->record(description_.serial, "out", reply);
    send(fault.kind == TokenFaults::Kind::Garble ? framing_->garbledReply(reply) : framing_->reply(reply));
}

void TokenDevice::send(const Reports& reports) {
    for (const Report& report : reports) {
        if (usbTiming_ && !waitUntil(clock_.nextIn()))
            return;
        deliver_(report);
    }
}

}  // namespace vexa::sim
