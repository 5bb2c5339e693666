#include "HIDFraming.h"

#include <algorithm>
#include <cstring>

namespace corvel::hid {
namespace {

void writeBigEndian32(uint8_t* out, uint32_t value)
{
    out[0] = static_cast<uint8_t>(value >> 24);
    out[1] = static_cast<uint8_t>(value >> 16);
    out[2] = static_cast<uint8_t>(value >> 8);
    out[3] = static_cast<uint8_t>(value);
}

size_t copyData(uint8_t* out, size_t room, const uint8_t* data, size_t available)
{
    const size_t count = std::min(room, available);
    if (count > 0) {
        std::memcpy(out, data, count);
    }
    return count;
}

}  // namespace

size_t buildFirstReport(Report& report, const uint8_t* data, size_t length)
{
    report.fill(0x00);
    report[0] = kOutputReportId;
    report[1] = kFirstPacket;
    report[2] = static_cast<uint8_t>(length);
    report[3] = static_cast<uint8_t>(length >> 8);
    report[4] = static_cast<uint8_t>(length >> 16);
    return copyData(report.data() + 5, kFirstReportData, data, length);
}

size_t buildContinuationReport(Report& report, const uint8_t* data, size_t remaining)
{
    report.fill(0x00);
    report[0] = kOutputReportId;
    report[1] = kContinuationPacket;
    return copyData(report.data() + 2, kContinuationReportData, data, remaining);
}

uint32_t reportMessageLength(const Report& report)
{
    return static_cast<uint32_t>(report[2]) | static_cast<uint32_t>(report[3]) << 8 |
           static_cast<uint32_t>(report[4]) << 16;
}

size_t buildInitFrame(Frame& frame, uint32_t channel, uint8_t command, uint16_t length, const uint8_t* data,
                      size_t available)
{
    frame.fill(kFramePadding);
    writeBigEndian32(frame.data(), channel);
    frame[4] = command;
    frame[5] = static_cast<uint8_t>(length >> 8);
    frame[6] = static_cast<uint8_t>(length);
    return copyData(frame.data() + 7, kInitFrameData, data, available);
}

size_t buildContinuationFrame(Frame& frame, uint32_t channel, uint8_t sequence, const uint8_t* data, size_t remaining)
{
    frame.fill(kFramePadding);
    writeBigEndian32(frame.data(), channel);
    frame[4] = sequence;
    return copyData(frame.data() + 5, kContinuationFrameData, data, remaining);
}

uint32_t readBigEndian32(const uint8_t* bytes)
{
    return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
           static_cast<uint32_t>(bytes[2]) << 8 | static_cast<uint32_t>(bytes[3]);
}

uint32_t frameChannel(const Frame& frame) { return readBigEndian32(frame.data()); }

uint16_t frameMessageLength(const Frame& frame) { return static_cast<uint16_t>(frame[5] << 8 | frame[6]); }

}  // namespace corvel::hid
