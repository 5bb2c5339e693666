// U2FHID framing: the channel set-up and framed messages on that channel.
#include <hidapi.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "CHIDTransport.h"
#include "Exception.h"

namespace corvel {

using namespace hid;

namespace {

// Results of the frame and message receivers.
constexpr int kFrameReceived = 0;
constexpr int kBrokenSequence = -4;
constexpr int kTimedOut = -5;
constexpr int kDeviceFailed = -127;
constexpr int kErrorFrame = 1;  // the token sent an ERROR frame; its code comes apart

constexpr uint32_t kInitTimeout = 250;

// U2FHID's ERR_CHANNEL_BUSY: another channel's transaction is under way.
constexpr uint8_t kErrChannelBusy = 0x06;
// Pauses before sending again after a busy answer: from 1 ms, doubling up to
// 32 ms, each with up to as much again at random, so that two programs that
// were turned away together do not meet again.
constexpr unsigned kLongestBusyPauseMs = 32;

bool isInitReply(const Frame& frame, const uint8_t* nonce)
{
    return frameChannel(frame) == kBroadcastChannel && frameCommand(frame) == kCommandInit &&
           frameMessageLength(frame) == kInitReplyLength && std::memcmp(initFrameData(frame), nonce, kNonceSize) == 0;
}

// The nonce tells our INIT reply from one meant for another host program on
// the same token, so it must not repeat between programs or runs.
void makeNonce(uint8_t (&nonce)[kNonceSize])
{
    std::random_device source;
    for (size_t i = 0; i < kNonceSize; i += sizeof(uint32_t)) {
        const uint32_t bits = source();
        std::memcpy(nonce + i, &bits, std::min(sizeof bits, kNonceSize - i));
    }
}

}  // namespace

void CHIDTransport::setUpChannel()
{
    m_channelId = kBroadcastChannel;
    uint32_t channel = kBroadcastChannel;
    if (requestChannel(kInitTimeout, std::nullopt, channel) != kFrameReceived) {
        return;
    }
    m_channelId = channel;
    // Room for any request, so that exchanges allocate nothing.
    m_lastRequest.reserve(kMaxU2FMessage);
    if (logTarget != nullptr) {
        logTarget->logFormat(kLogDebug, "u2f transport detected");
    }
}

int CHIDTransport::requestChannel(uint32_t frameWait, std::optional<std::chrono::steady_clock::time_point> deadline,
                                  uint32_t& channel)
{
    uint8_t nonce[kNonceSize];
    makeNonce(nonce);
    Frame frame;
    buildInitFrame(frame, kBroadcastChannel, kCommandInit, kNonceSize, nonce, kNonceSize);
    // A device that does not take the probe is still open, in report-id framing.
    if (!sendFrame(frame)) {
        return kDeviceFailed;
    }
    do {
        uint32_t wait = frameWait;
        if (deadline) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
            wait = static_cast<uint32_t>(std::clamp<int64_t>(left.count(), 0, frameWait));
        }
        const int result = receiveFrame(frame, wait);
        if (result != kFrameReceived) {
            return result;
        }
    } while (!isInitReply(frame, nonce));
    channel = readBigEndian32(initFrameData(frame) + kNonceSize);
    return kFrameReceived;
}

// The late reply travels on the old channel, where no reader looks any more.
void CHIDTransport::renewChannel()
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_timeout);
    uint32_t channel = m_channelId;
    switch (requestChannel(m_timeout, deadline, channel)) {
    case kFrameReceived:
        m_channelId = channel;
        if (logTarget != nullptr) {
            logTarget->logFormat(kLogDebug, "u2f channel renewed after an abandoned reply");
        }
        return;
    case kDeviceFailed:
        failDevice("HID write failed.");
    default:
        throw IOException(TransportFailure::TimedOut, "No answer to the U2FHID channel request");
    }
}

size_t CHIDTransport::writeU2F(const uint8_t* data, size_t length)
{
    // Sequence numbers stop at 0x7F; a longer message cannot be framed.
    if (length > kMaxU2FMessage) {
        throw IOException(TransportFailure::TooLong, "Message too long for U2FHID framing");
    }
    m_lastRequest.assign(data, data + length);
    if (!forEachFrame(m_channelId, data, length, [this](const Frame& frame) { return sendFrame(frame); })) {
        failDevice("null");
    }
    return length;
}

bool CHIDTransport::sendAgainWhenBusy(std::chrono::steady_clock::time_point deadline, unsigned attempt)
{
    static thread_local std::minstd_rand jitter(std::random_device{}());
    const unsigned base = std::min(1u << std::min(attempt, 5u), kLongestBusyPauseMs);
    const auto pause = std::chrono::microseconds(base * 1000 + jitter() % (base * 1000));
    if (std::chrono::steady_clock::now() + pause >= deadline) {
        return false;
    }
    std::this_thread::sleep_for(pause);
    if (logTarget != nullptr) {
        logTarget->logFormat(kLogDebug, "u2f channel busy: request sent again");
    }
    const uint8_t* data = m_lastRequest.data();
    if (!forEachFrame(m_channelId, data, m_lastRequest.size(),
                      [this](const Frame& frame) { return sendFrame(frame); })) {
        failDevice("null");
    }
    return true;
}

bool CHIDTransport::sendFrame(const Frame& frame)
{
    // Byte 0 tells hidraw the reports are unnumbered.
    uint8_t buffer[kReportSize + 1];
    buffer[0] = 0x00;
    std::memcpy(buffer + 1, frame.data(), frame.size());
    return hid_write(m_device, buffer, sizeof buffer) == static_cast<int>(sizeof buffer);
}

int CHIDTransport::receiveFrame(Frame& frame, uint32_t timeout)
{
    if (m_device == nullptr) {
        return kDeviceFailed;
    }
    frame.fill(kFramePadding);
    const int count = hid_read_timeout(m_device, frame.data(), frame.size(), hidTimeout(timeout));
    if (count == static_cast<int>(frame.size())) {
        return kFrameReceived;
    }
    if (logTarget != nullptr) {
        logTarget->logFormat(kLogInfo, "hid transport received timeout");
    }
    return count < 0 ? kDeviceFailed : kTimedOut;
}

void CHIDTransport::receiveU2F(ReplySink& reply)
{
    // A busy token did nothing with the request: it goes again, within the
    // time-out of the whole call.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_timeout);
    uint8_t errorCode = 0;
    int result = receiveMessage(reply, errorCode);
    for (unsigned attempt = 0;
         result == kErrorFrame && errorCode == kErrChannelBusy && sendAgainWhenBusy(deadline, attempt); ++attempt) {
        reply.length = 0;
        result = receiveMessage(reply, errorCode);
    }
    if (result == kFrameReceived) {
        return;
    }
    // Logged as the token's code negated, the way the receivers' own results are.
    const int logged = result == kErrorFrame ? -static_cast<int>(errorCode) : result;
    if (logged != kTimedOut && logTarget != nullptr) {
        logTarget->logFormat(kLogInfo, "hid transport received error %d", logged);
    }
    switch (result) {
    case kTimedOut:
        abandonReply(LateReply{});
        throw IOException(TransportFailure::TimedOut, "No U2FHID reply within the time-out");
    case kDeviceFailed:
        failDevice("HID read failed.");
    case kBrokenSequence:
        abandonReply(LateReply{});
        throw IOException(TransportFailure::BrokenFraming, "Broken U2FHID continuation sequence");
    default:
        throw IOException(TransportFailure::BrokenFraming,
                          "U2FHID error " + std::to_string(errorCode) + " from the token");
    }
}

// Takes the next message on this channel into reply and returns
// kFrameReceived, or a receiver's result; kErrorFrame with the token's code
// in errorCode. Frames of other channels, and continuation frames met before
// the message's first frame (the rest of a message abandoned earlier), are
// skipped.
int CHIDTransport::receiveMessage(ReplySink& reply, uint8_t& errorCode)
{
    Frame frame;
    do {
        const int result = receiveFrame(frame, m_timeout);
        if (result != kFrameReceived) {
            return result;
        }
    } while (frameChannel(frame) != m_channelId || !isInitFrame(frame));
    if (frameCommand(frame) == kCommandError) {
        errorCode = initFrameData(frame)[0];
        return kErrorFrame;
    }
    const size_t length = frameMessageLength(frame);
    reply.put(initFrameData(frame), std::min(length, kInitFrameData));
    return receiveContinuations(frame, length, reply);
}

int CHIDTransport::receiveContinuations(Frame& frame, size_t length, ReplySink& reply)
{
    uint8_t expected = 0;
    size_t received = std::min(length, kInitFrameData);
    while (received < length) {
        const int result = receiveFrame(frame, m_timeout);
        if (result != kFrameReceived) {
            return result;
        }
        if (frameChannel(frame) != m_channelId) {
            continue;
        }
        if (isInitFrame(frame) || frameSequence(frame) != expected) {
            return kBrokenSequence;
        }
        const size_t taken = std::min(length - received, kContinuationFrameData);
        reply.put(continuationFrameData(frame), taken);
        received += taken;
        ++expected;
    }
    return kFrameReceived;
}

}  // namespace corvel
