// fuzz-device-framing: the simulated token's reassembly of requests from the
// output reports a host writes, in both framings.
//
// Input: byte 0 picks the framing (bit 0: U2FHID, else report ids), how
// quickly the token answers (bit 1: only after the next report has arrived,
// so that reports meet a transaction in progress) and whether the host is
// slow (bit 2: every third report comes after the frame time-out, and the
// token looks at its clock before it, so that partial requests are given
// up); the rest is cut into 64-byte output reports, a shorter tail being one
// short report. Every
// request the framing completes is answered with itself, as the echo
// firmware does, so that the reply path runs on what the host sent, and the
// transaction then finishes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

#include "DeviceFraming.h"

namespace {

using vexa::sim::kMaxMessage;
using vexa::sim::kReportSize;
using vexa::sim::Reports;

void require(bool holds, const char* what)
{
    if (!holds) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

void requireReports(const Reports& reports)
{
    for (const auto& report : reports) {
        require(report.size() == kReportSize, "every input report is a whole report");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) {
        return 0;
    }
    const auto framing = (data[0] & 1) != 0 ? vexa::sim::Framing::U2f : vexa::sim::Framing::ReportId;
    const bool slow = (data[0] & 2) != 0;
    const bool lateHost = (data[0] & 4) != 0;
    const auto device = vexa::sim::makeDeviceFraming(framing);
    vexa::sim::FramingClock::time_point now{};
    std::optional<std::vector<uint8_t>> pending;
    const auto answer = [&] {
        requireReports(device->reply(*pending));
        device->finish();
        pending.reset();
    };
    for (size_t offset = 1; offset < size; offset += kReportSize) {
        const size_t length = std::min(kReportSize, size - offset);
        if (lateHost && (offset / kReportSize) % 3 == 2) {
            now += vexa::sim::kFrameTimeout;
            requireReports(device->expire(now).answer);
            require(!device->deadline() || *device->deadline() > now, "a passed deadline gives the request up");
        }
        vexa::sim::Received received = device->receive(data + offset, length, now);
        requireReports(received.answer);
        if (pending) {
            answer();
        }
        if (received.request) {
            require(received.request->size() <= kMaxMessage, "no request beyond the token's buffer");
            pending = std::move(received.request);
            if (!slow) {
                answer();
            }
        }
    }
    return 0;
}
