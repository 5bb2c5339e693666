// Report-id framing: numbered 64-byte reports with a 24-bit length.
#include <hidapi.h>

#include <algorithm>

#include "CHIDTransport.h"
#include "Exception.h"

namespace corvel {

using namespace hid;

size_t CHIDTransport::writeReports(const uint8_t* data, size_t length)
{
    if (length == 0) {
        return 0;
    }
    if (length > kMaxReportIdMessage) {
        throw IOException(TransportFailure::TooLong, "Message too long for HID report framing");
    }
    const bool sent = forEachReport(data, length, [this](const Report& report) {
        return hid_write(m_device, report.data(), report.size()) == static_cast<int>(report.size());
    });
    if (!sent) {
        failDevice("HID write failed.");
    }
    return length;
}

// Takes one whole reply message from the device into reply. A first report
// abandons any message it interrupts.
void CHIDTransport::receiveReports(ReplySink& reply)
{
    LateReply taken;
    Report report;
    const auto broken = [this](const char* message) {
        // What is left of a broken message are continuations, which no later
        // read takes for a reply; they are only cleared away.
        abandonReply(LateReply{});
        throw IOException(TransportFailure::BrokenFraming, message);
    };
    do {
        const int count = hid_read_timeout(m_device, report.data(), report.size(), hidTimeout(m_timeout));
        if (count == 0) {
            taken.awaited = true;
            abandonReply(taken);
            throw IOException(TransportFailure::TimedOut, "No HID reply within the time-out");
        }
        if (count < 0) {
            failDevice("null");
        }
        if (static_cast<size_t>(count) < report.size()) {
            broken("Short HID report received");
        }
        if (report[0] != kInputReportId) {
            broken("Invalid HID report id received");
        }
        if (report[1] == kFirstPacket) {
            reply.length = 0;
            reply.put(report.data() + 5, std::min<size_t>(reportMessageLength(report), kFirstReportData));
        } else if (report[1] == kContinuationPacket) {
            if (!taken.firstSeen) {
                broken("Invalid HID packet received (out of order)");
            }
            reply.put(report.data() + 2, std::min(taken.total - taken.received, kContinuationReportData));
        } else {
            broken("Invalid HID packet id received");
        }
        taken.take(report);
    } while (!taken.complete());
}

void CHIDTransport::LateReply::take(const Report& report)
{
    if (report[0] != kInputReportId) {
        return;
    }
    if (report[1] == kFirstPacket) {
        firstSeen = true;
        total = reportMessageLength(report);
        received = std::min(total, kFirstReportData);
    } else if (report[1] == kContinuationPacket && firstSeen) {
        received += std::min(total - received, kContinuationReportData);
    }
}

}  // namespace corvel
