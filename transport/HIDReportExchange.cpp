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
        throw IOException("Message too long for HID report framing");
    }
    Report report;
    size_t sent = 0;
    do {
        sent += sent == 0 ? buildFirstReport(report, data, length)
                          : buildContinuationReport(report, data + sent, length - sent);
        if (hid_write(m_device, report.data(), report.size()) != static_cast<int>(report.size())) {
            throwDeviceError("HID write failed.");
        }
    } while (sent < length);
    return length;
}

// Appends one reply message to the queue. A timeout keeps what has arrived;
// a failure drops the bytes of the message it interrupted, so they cannot
// prefix the next reply.
void CHIDTransport::receiveReports()
{
    PendingAppend message(m_queue);
    size_t total = 0;
    size_t received = 0;
    Report report;
    do {
        const int count = hid_read_timeout(m_device, report.data(), report.size(), hidTimeout(m_timeout));
        if (count == 0) {
            break;
        }
        if (count < 0) {
            throwDeviceError("null");
        }
        if (static_cast<size_t>(count) < report.size()) {
            throw IOException("Short HID report received");
        }
        if (report[0] != kInputReportId) {
            throw IOException("Invalid HID report id received");
        }
        if (report[1] == kFirstPacket) {
            // A first report abandons any message it interrupts.
            message.restart();
            total = reportMessageLength(report);
            received = std::min(total, kFirstReportData);
            m_queue.append(report.data() + 5, received);
        } else if (report[1] == kContinuationPacket) {
            if (total == 0) {
                throw IOException("Invalid HID packet received (out of order)");
            }
            const size_t taken = std::min(total - received, kContinuationReportData);
            m_queue.append(report.data() + 2, taken);
            received += taken;
        } else {
            throw IOException("Invalid HID packet id received");
        }
    } while (received < total);
    message.commit();
}

}  // namespace corvel
