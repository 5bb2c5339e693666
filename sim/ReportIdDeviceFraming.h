#pragma once
#include "DeviceFraming.h"

namespace vexa::sim {

// Numbered reports: requests in output report 1, replies in input report 2,
// a packet type byte and a 24-bit little-endian length. No handshake and no
// error frames: whatever the token cannot use it ignores, and a request left
// unfinished past its deadline it drops.
class CReportIdDeviceFraming : public IDeviceFraming {
public:
    Received receive(const uint8_t* report, size_t length, FramingClock::time_point at) override;
    std::optional<FramingClock::time_point> deadline() const override;
    Received expire(FramingClock::time_point now) override;
    Reports reply(const std::vector<uint8_t>& message) override;
    Reports garbledReply(const std::vector<uint8_t>& message) override;
    Reports error(uint8_t code) override;
    // Without channels there is nobody to tell the token is busy: requests
    // wait their turn.
    void finish() override {}

    static constexpr uint8_t kOutputReportId = 0x01;
    static constexpr uint8_t kInputReportId = 0x02;

private:
    Received receiveReport(const uint8_t* buffer, FramingClock::time_point at);
    Received finishIfComplete();

    bool m_assembling = false;
    size_t m_expected = 0;
    std::vector<uint8_t> m_message;
    CRequestDeadline m_deadline;
};

}  // namespace vexa::sim
