#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

// Byte layouts of the two HID framings a token speaks. Pure functions over
// fixed 64-byte buffers; the exchange logic lives in CHIDTransport.
namespace corvel::hid {

constexpr size_t kReportSize = 64;

// Report-id framing: output report 1, input report 2, a packet type and a
// 24-bit little-endian message length in the first report.
constexpr uint8_t kOutputReportId = 0x01;
constexpr uint8_t kInputReportId = 0x02;
constexpr uint8_t kFirstPacket = 0x00;
constexpr uint8_t kContinuationPacket = 0x01;
constexpr size_t kFirstReportData = 59;         // bytes 5-63
constexpr size_t kContinuationReportData = 62;  // bytes 2-63
constexpr size_t kMaxReportIdMessage = 0xFFFFFF;

using Report = std::array<uint8_t, kReportSize>;

// Fill report with the first report of a length-byte message; returns the
// number of data bytes it carries.
size_t buildFirstReport(Report& report, const uint8_t* data, size_t length);
// Fill report with a continuation carrying the front of remaining bytes.
size_t buildContinuationReport(Report& report, const uint8_t* data, size_t remaining);
uint32_t reportMessageLength(const Report& report);

// Cuts a message into reports and hands each to send (bool(const Report&));
// false as soon as send is. A message of no bytes is one first report.
template <typename Send>
bool forEachReport(const uint8_t* data, size_t length, Send&& send)
{
    Report report;
    size_t sent = 0;
    do {
        sent += sent == 0 ? buildFirstReport(report, data, length)
                          : buildContinuationReport(report, data + sent, length - sent);
        if (!send(report)) {
            return false;
        }
    } while (sent < length);
    return true;
}

// U2FHID framing: 32-bit big-endian channel, command or sequence byte, 16-bit
// big-endian length in the initialisation frame.
constexpr uint32_t kBroadcastChannel = 0xFFFFFFFF;
constexpr uint8_t kInitFlag = 0x80;
constexpr uint8_t kCommandInit = 0x86;
constexpr uint8_t kCommandMessage = 0xC0;
constexpr uint8_t kCommandError = 0xBF;
constexpr uint8_t kFramePadding = 0xEE;
constexpr size_t kInitFrameData = 57;          // bytes 7-63
constexpr size_t kContinuationFrameData = 59;  // bytes 5-63
constexpr size_t kMaxSequence = 0x7F;
constexpr size_t kMaxU2FMessage = kInitFrameData + (kMaxSequence + 1) * kContinuationFrameData;
constexpr size_t kNonceSize = 8;
constexpr uint16_t kInitReplyLength = 17;

using Frame = std::array<uint8_t, kReportSize>;

size_t buildInitFrame(Frame& frame, uint32_t channel, uint8_t command, uint16_t length, const uint8_t* data,
                      size_t available);
size_t buildContinuationFrame(Frame& frame, uint32_t channel, uint8_t sequence, const uint8_t* data, size_t remaining);

// Cuts a message (at most kMaxU2FMessage bytes) into the frames of a
// message command on channel and hands each to send (bool(const Frame&));
// false as soon as send is.
template <typename Send>
bool forEachFrame(uint32_t channel, const uint8_t* data, size_t length, Send&& send)
{
    Frame frame;
    size_t sent = buildInitFrame(frame, channel, kCommandMessage, static_cast<uint16_t>(length), data, length);
    for (uint8_t sequence = 0;; ++sequence) {
        if (!send(frame)) {
            return false;
        }
        if (sent >= length) {
            return true;
        }
        sent += buildContinuationFrame(frame, channel, sequence, data + sent, length - sent);
    }
}

uint32_t frameChannel(const Frame& frame);
inline bool isInitFrame(const Frame& frame) { return (frame[4] & kInitFlag) != 0; }
inline uint8_t frameCommand(const Frame& frame) { return frame[4]; }
inline uint8_t frameSequence(const Frame& frame) { return frame[4]; }
uint16_t frameMessageLength(const Frame& frame);
inline const uint8_t* initFrameData(const Frame& frame) { return frame.data() + 7; }
inline const uint8_t* continuationFrameData(const Frame& frame) { return frame.data() + 5; }

uint32_t readBigEndian32(const uint8_t* bytes);

}  // namespace corvel::hid
