#include "U2fDeviceFraming.h"

#include <algorithm>

namespace vexa::sim {
namespace {

constexpr uint32_t kBroadcast = 0xFFFFFFFF;
constexpr uint8_t kCmdInit = 0x86;
constexpr uint8_t kCmdMessage = 0xC0;
constexpr uint8_t kCmdError = 0xBF;
constexpr size_t kInitData = kReportSize - 7;
constexpr size_t kContData = kReportSize - 5;
constexpr size_t kNonceSize = 8;
constexpr uint16_t kInitReplyLength = 17;

uint32_t readBe32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

void writeBe32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

Report initFrame(uint32_t channel, uint8_t command, size_t length)
{
    Report frame(kReportSize, 0);
    writeBe32(frame.data(), channel);
    frame[4] = command;
    frame[5] = uint8_t(length >> 8);
    frame[6] = uint8_t(length);
    return frame;
}

Received answerOnly(Reports reports)
{
    Received r;
    r.answer = std::move(reports);
    return r;
}

}  // namespace

Received CU2fDeviceFraming::receive(const uint8_t* report, size_t length, FramingClock::time_point at)
{
    uint8_t frame[kReportSize] = {};
    std::copy_n(report, std::min(length, kReportSize), frame);
    Received late = expire(at);
    Received r = receiveFrame(frame, at);
    r.answer.insert(r.answer.begin(), late.answer.begin(), late.answer.end());
    r.gaveUp = late.gaveUp;
    return r;
}

std::optional<FramingClock::time_point> CU2fDeviceFraming::deadline() const
{
    return m_assembling ? std::optional<FramingClock::time_point>(m_deadline.at()) : std::nullopt;
}

Received CU2fDeviceFraming::expire(FramingClock::time_point now)
{
    Received r;
    if (m_assembling && now >= m_deadline.at()) {
        m_assembling = false;
        m_message.clear();
        r.answer = errorOn(m_channel, kErrMsgTimeout);
        r.gaveUp = true;
    }
    return r;
}

Received CU2fDeviceFraming::receiveFrame(const uint8_t* frame, FramingClock::time_point at)
{
    const uint32_t channel = readBe32(frame);
    if (frame[4] & 0x80) {
        return receiveInit(channel, frame, at);
    }
    return receiveContinuation(channel, frame, at);
}

Received CU2fDeviceFraming::receiveInit(uint32_t channel, const uint8_t* frame, FramingClock::time_point at)
{
    const uint8_t command = frame[4];
    const size_t length = size_t(frame[5]) << 8 | frame[6];
    if (command == kCmdInit) {
        return answerInit(channel, frame);
    }
    if (!issued(channel)) {
        return answerOnly(errorOn(channel, kErrInvalidChannel));
    }
    if (m_processing || (m_assembling && m_channel != channel)) {
        return answerOnly(errorOn(channel, kErrChannelBusy));
    }
    if (command != kCmdMessage) {
        return answerOnly(errorOn(channel, kErrInvalidCmd));
    }
    if (length > kMaxMessage) {
        return answerOnly(errorOn(channel, kErrInvalidLen));
    }
    // A new message on the busy channel replaces the unfinished one, as after
    // a host that gave up and retried.
    m_assembling = true;
    m_channel = channel;
    m_expected = length;
    m_nextSequence = 0;
    m_deadline.start(at);
    m_message.assign(frame + 7, frame + 7 + std::min(length, kInitData));
    return finishIfComplete();
}

Received CU2fDeviceFraming::receiveContinuation(uint32_t channel, const uint8_t* frame, FramingClock::time_point at)
{
    if (!m_assembling || channel != m_channel) {
        return {};
    }
    if (frame[4] != m_nextSequence) {
        m_assembling = false;
        return answerOnly(errorOn(channel, kErrInvalidSeq));
    }
    ++m_nextSequence;
    m_deadline.frame(at);
    const size_t take = std::min(m_expected - m_message.size(), kContData);
    m_message.insert(m_message.end(), frame + 5, frame + 5 + take);
    return finishIfComplete();
}

Received CU2fDeviceFraming::answerInit(uint32_t channel, const uint8_t* frame)
{
    const size_t length = size_t(frame[5]) << 8 | frame[6];
    if (length != kNonceSize) {
        return answerOnly(errorOn(channel, kErrInvalidLen));
    }
    if (channel != kBroadcast && !issued(channel)) {
        return answerOnly(errorOn(channel, kErrInvalidChannel));
    }
    if (m_assembling && m_channel == channel) {
        m_assembling = false;
    }
    if (m_processing && m_replyChannel == channel) {
        m_replyChannel = 0;
    }
    uint32_t granted = channel;
    if (channel == kBroadcast) {
        granted = m_nextChannel++;
        if (m_nextChannel == kBroadcast) {
            m_nextChannel = 1;
        }
    }
    Report reply = initFrame(channel, kCmdInit, kInitReplyLength);
    std::copy_n(frame + 7, kNonceSize, reply.begin() + 7);
    writeBe32(reply.data() + 15, granted);
    reply[19] = 2;  // U2FHID protocol version
    reply[20] = 1;  // device version 1.0.0
    return answerOnly({reply});
}

Received CU2fDeviceFraming::finishIfComplete()
{
    Received r;
    if (m_message.size() < m_expected) {
        return r;
    }
    m_assembling = false;
    m_processing = true;
    m_replyChannel = m_channel;
    r.request = std::move(m_message);
    m_message.clear();
    return r;
}

Reports CU2fDeviceFraming::frames(uint32_t channel, uint8_t command, const std::vector<uint8_t>& message,
                                  size_t announced, uint8_t firstSequence) const
{
    Reports out;
    Report first = initFrame(channel, command, announced);
    size_t sent = std::min(message.size(), kInitData);
    std::copy_n(message.begin(), sent, first.begin() + 7);
    out.push_back(std::move(first));
    size_t covered = kInitData;
    for (uint8_t sequence = firstSequence; covered < announced; ++sequence) {
        Report cont(kReportSize, 0);
        writeBe32(cont.data(), channel);
        cont[4] = sequence;
        const size_t take = sent < message.size() ? std::min(message.size() - sent, kContData) : 0;
        std::copy_n(message.begin() + sent, take, cont.begin() + 5);
        sent += take;
        covered += kContData;
        out.push_back(std::move(cont));
    }
    return out;
}

Reports CU2fDeviceFraming::reply(const std::vector<uint8_t>& message)
{
    if (m_replyChannel == 0) {
        return {};
    }
    if (message.size() > kMaxMessage) {
        return errorOn(m_replyChannel, kErrOther);
    }
    return frames(m_replyChannel, kCmdMessage, message, message.size(), 0);
}

Reports CU2fDeviceFraming::garbledReply(const std::vector<uint8_t>& message)
{
    if (m_replyChannel == 0) {
        return {};
    }
    // Announce at least one continuation frame, then number it 1 instead of
    // 0, so even a short reply reaches the host broken.
    const size_t announced = std::min(std::max(message.size(), kInitData + 1), kMaxMessage);
    return frames(m_replyChannel, kCmdMessage, message, announced, 1);
}

Reports CU2fDeviceFraming::error(uint8_t code)
{
    if (m_replyChannel == 0) {
        return {};
    }
    return errorOn(m_replyChannel, code);
}

void CU2fDeviceFraming::finish()
{
    m_processing = false;
    m_replyChannel = 0;
}

Reports CU2fDeviceFraming::errorOn(uint32_t channel, uint8_t code) const
{
    Report frame = initFrame(channel, kCmdError, 1);
    frame[7] = code;
    return {frame};
}

}  // namespace vexa::sim
