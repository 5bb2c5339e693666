#pragma once
#include "DeviceFraming.h"

namespace vexa::sim {

// Numbered reports: requests in output report 1, replies in input report 2,
// a packet type byte and a 24-bit little-endian length. No handshake and no
// error frames: whatever the token cannot use it ignores.
class ReportIdDeviceFraming : public IDeviceFraming {
public:
    Received receive(const uint8_t* report, size_t length) override;
    Reports reply(const std::vector<uint8_t>& message) override;
    Reports garbledReply(const std::vector<uint8_t>& message) override;
    Reports error(uint8_t code) override;
    // Without channels there is nobody to tell the token is busy: requests
    // wait their turn.
    void finish() override {}

    static constexpr uint8_t kOutputReportId = 0x01;
    static constexpr uint8_t kInputReportId = 0x02;

private:
    Received finishIfComplete();

    bool m_assembling = false;
    size_t m_expected = 0;
    std::vector<uint8_t> m_message;
};

}  // namespace vexa::sim
