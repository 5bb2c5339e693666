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
    Report report;
    size_t sent = 0;
    do {
        sent += sent == 0 ? buildFirstReport(report, data, length)
                          : buildContinuationReport(report, data + sent, length - sent);
        if (hid_write(m_device, report.data(), report.size()) != static_cast<int>(report.size())) {
            failDevice("HID write failed.");
        }
    } while (sent < length);
    return length;
}

// Takes one whole reply message from the device into reply. A first report
// abandons any message it interrupts.
void CHIDTransport::receiveReports(ReplySink& reply)
{
    size_t total = 0;
    size_t received = 0;
    Report report;
    do {
        const int count = hid_read_timeout(m_device, report.data(), report.size(), hidTimeout(m_timeout));
        if (count == 0) {
            throw IOException(TransportFailure::TimedOut, "No HID reply within the time-out");
        }
        if (count < 0) {
            failDevice("null");
        }
        if (static_cast<size_t>(count) < report.size()) {
            throw IOException(TransportFailure::BrokenFraming, "Short HID report received");
        }
        if (report[0] != kInputReportId) {
            throw IOException(TransportFailure::BrokenFraming, "Invalid HID report id received");
        }
        if (report[1] == kFirstPacket) {
            total = reportMessageLength(report);
            received = std::min(total, kFirstReportData);
            reply.length = 0;
            reply.put(report.data() + 5, received);
        } else if (report[1] == kContinuationPacket) {
            if (total == 0) {
                throw IOException(TransportFailure::BrokenFraming, "Invalid HID packet received (out of order)");
            }
            const size_t taken = std::min(total - received, kContinuationReportData);
            reply.put(report.data() + 2, taken);
            received += taken;
        } else {
            throw IOException(TransportFailure::BrokenFraming, "Invalid HID packet id received");
        }
    } while (received < total);
}

}  // namespace corvel
