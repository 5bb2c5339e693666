// U2FHID framing: the channel set-up and framed messages on that channel.
#include <hidapi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "CHIDTransport.h"
#include "Exception.h"

namespace corvel {

using namespace hid;

namespace {

// Results of the frame and message receivers; they only reach log lines.
constexpr int kFrameReceived = 0;
constexpr int kBrokenSequence = -4;
constexpr int kTimedOut = -5;
constexpr int kDeviceFailed = -127;

constexpr uint32_t kInitTimeout = 250;

bool isInitReply(const Frame& frame, const uint8_t* nonce)
{
    return frameChannel(frame) == kBroadcastChannel && frameCommand(frame) == kCommandInit &&
           frameMessageLength(frame) == kInitReplyLength && std::memcmp(initFrameData(frame), nonce, kNonceSize) == 0;
}

}  // namespace

int32_t CHIDTransport::setUpChannel()
{
    m_channelId = kBroadcastChannel;
    uint8_t nonce[kNonceSize];
    for (uint8_t& byte : nonce) {
        byte = static_cast<uint8_t>(std::rand() >> 3);
    }
    Frame frame;
    buildInitFrame(frame, kBroadcastChannel, kCommandInit, kNonceSize, nonce, kNonceSize);
    try {
        sendFrame(frame);
    } catch (const Exception&) {
        return kDeviceFailed;
    }
    do {
        const int result = receiveFrame(frame, kInitTimeout);
        if (result != kFrameReceived) {
            return result;
        }
    } while (!isInitReply(frame, nonce));
    m_channelId = readBigEndian32(initFrameData(frame) + kNonceSize);
    if (logTarget != nullptr) {
        logTarget->logFormat(kLogDebug, "u2f transport detected");
    }
    return 0;
}

size_t CHIDTransport::writeU2F(const uint8_t* data, size_t length)
{
    // Sequence numbers stop at 0x7F; a longer message cannot be framed.
    if (length > kMaxU2FMessage) {
        throw IOException("Message too long for U2FHID framing");
    }
    Frame frame;
    size_t sent = buildInitFrame(frame, m_channelId, kCommandMessage, static_cast<uint16_t>(length), data, length);
    sendFrame(frame);
    for (uint8_t sequence = 0; sent < length; ++sequence) {
        sent += buildContinuationFrame(frame, m_channelId, sequence, data + sent, length - sent);
        sendFrame(frame);
    }
    return length;
}

void CHIDTransport::sendFrame(const Frame& frame)
{
    // Byte 0 tells hidraw the reports are unnumbered.
    uint8_t buffer[kReportSize + 1];
    buffer[0] = 0x00;
    std::memcpy(buffer + 1, frame.data(), frame.size());
    if (hid_write(m_device, buffer, sizeof buffer) != static_cast<int>(sizeof buffer)) {
        throwDeviceError("null");
    }
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

void CHIDTransport::receiveU2F(size_t capacity)
{
    const int result = receiveMessage(capacity);
    if (result <= 0 && result != kTimedOut && logTarget != nullptr) {
        logTarget->logFormat(kLogInfo, "hid transport received error %d", result);
    }
}

// Appends at most capacity bytes of the next message on this channel to the
// queue and returns their count, or a negative result code. The rest of a
// longer message is dropped; its continuation frames are skipped by the next
// call, which waits for an initialisation frame.
int CHIDTransport::receiveMessage(size_t capacity)
{
    Frame frame;
    do {
        const int result = receiveFrame(frame, m_timeout);
        if (result != kFrameReceived) {
            return result;
        }
    } while (frameChannel(frame) != m_channelId || !isInitFrame(frame));
    if (frameCommand(frame) == kCommandError) {
        return -static_cast<int>(initFrameData(frame)[0]);
    }
    const size_t length = std::min<size_t>(frameMessageLength(frame), capacity);
    PendingAppend message(m_queue);
    const size_t first = std::min(length, kInitFrameData);
    m_queue.append(initFrameData(frame), first);
    const int result = receiveContinuations(frame, length, first);
    if (result != kFrameReceived) {
        return result;
    }
    message.commit();
    return static_cast<int>(length);
}

int CHIDTransport::receiveContinuations(Frame& frame, size_t length, size_t received)
{
    uint8_t expected = 0;
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
        m_queue.append(continuationFrameData(frame), taken);
        received += taken;
        ++expected;
    }
    return kFrameReceived;
}

}  // namespace corvel
