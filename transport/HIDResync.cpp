// Putting a transport back in step with its token after a read gave up on a
// reply: nothing of that reply may pass for the reply of a later request.
#include <hidapi.h>

#include <chrono>

#include "CHIDTransport.h"
#include "Exception.h"

namespace corvel {

using namespace hid;

namespace {

// More than hidraw queues for one reader: a device that keeps sending
// cannot hold the caller in the drain.
constexpr int kMostQueuedReports = 256;

}  // namespace

void CHIDTransport::abandonReply(const LateReply& late)
{
    m_outOfStep = true;
    m_lateReply = late;
}

void CHIDTransport::resynchronise()
{
    if (usesU2F()) {
        renewChannel();
    } else {
        discardLateReply();
    }
    m_outOfStep = false;
    m_lateReply = LateReply{};
}

// Waits, one time-out at most, for what is still to come of the abandoned
// reply, then drops everything queued. A token that dropped the request
// costs that one wait; one that answers late is caught the moment its reply
// is complete.
void CHIDTransport::discardLateReply()
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(m_timeout);
    LateReply late = m_lateReply;
    Report report;
    while (late.awaited && !late.complete()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            break;
        }
        const int count =
            hid_read_timeout(m_device, report.data(), report.size(), hidTimeout(static_cast<uint32_t>(left)));
        if (count == 0) {
            break;
        }
        if (count < 0) {
            failDevice("null");
        }
        if (static_cast<size_t>(count) == report.size()) {
            late.take(report);
        }
    }
    discardQueuedReports();
}

void CHIDTransport::discardQueuedReports()
{
    Report report;
    for (int i = 0; i < kMostQueuedReports; ++i) {
        const int count = hid_read_timeout(m_device, report.data(), report.size(), 0);
        if (count == 0) {
            return;
        }
        if (count < 0) {
            failDevice("null");
        }
    }
}

}  // namespace corvel
