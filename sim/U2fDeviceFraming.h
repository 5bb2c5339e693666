#pragma once
#include "DeviceFraming.h"

namespace vexa::sim {

// U2FHID as a token speaks it: INIT on the broadcast channel hands out a
// channel, vendor command 0xC0 carries request and reply messages, protocol
// faults are answered with ERROR frames. One transaction at a time: from the
// first frame of a request until its reply is out, a message on any other
// channel is answered with ERR_CHANNEL_BUSY (the host tries again later).
// INIT is answered at any time; INIT on the channel of a transaction aborts
// it, so its reply is not sent. A request left unfinished past its deadline
// is given up with ERR_MSG_TIMEOUT on its channel.
class CU2fDeviceFraming : public IDeviceFraming {
public:
    Received receive(const uint8_t* report, size_t length, FramingClock::time_point at) override;
    std::optional<FramingClock::time_point> deadline() const override;
    Received expire(FramingClock::time_point now) override;
    Reports reply(const std::vector<uint8_t>& message) override;
    Reports garbledReply(const std::vector<uint8_t>& message) override;
    Reports error(uint8_t code) override;
    void finish() override;

    // U2FHID error codes the token sends on its own.
    static constexpr uint8_t kErrInvalidCmd = 0x01;
    static constexpr uint8_t kErrInvalidLen = 0x03;
    static constexpr uint8_t kErrInvalidSeq = 0x04;
    static constexpr uint8_t kErrMsgTimeout = 0x05;
    static constexpr uint8_t kErrChannelBusy = 0x06;
    static constexpr uint8_t kErrInvalidChannel = 0x0B;
    static constexpr uint8_t kErrOther = 0x7F;

private:
    Received receiveFrame(const uint8_t* frame, FramingClock::time_point at);
    Received receiveInit(uint32_t channel, const uint8_t* frame, FramingClock::time_point at);
    Received receiveContinuation(uint32_t channel, const uint8_t* frame, FramingClock::time_point at);
    Received answerInit(uint32_t channel, const uint8_t* frame);
    Received finishIfComplete();
    Reports frames(uint32_t channel, uint8_t command, const std::vector<uint8_t>& message, size_t announced,
                   uint8_t firstSequence) const;
    Reports errorOn(uint32_t channel, uint8_t code) const;
    bool issued(uint32_t channel) const { return channel != 0 && channel < m_nextChannel; }

    uint32_t m_nextChannel = 1;
    // Request being assembled.
    bool m_assembling = false;
    uint32_t m_channel = 0;
    size_t m_expected = 0;
    uint8_t m_nextSequence = 0;
    std::vector<uint8_t> m_message;
    CRequestDeadline m_deadline;
    // A complete request whose reply is not out yet, and where it goes (0
    // once the host aborted the transaction).
    bool m_processing = false;
    uint32_t m_replyChannel = 0;
};

}  // namespace vexa::sim
