#include "HidTestSupport.h"

#include <algorithm>

namespace hidtest {
namespace {

Bytes bigEndian32(uint32_t value)
{
    return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value)};
}

Bytes padded(Bytes frame, uint8_t padding)
{
    frame.resize(64, padding);
    return frame;
}

Bytes slice(const Bytes& message, size_t offset, size_t count)
{
    const size_t end = std::min(message.size(), offset + count);
    return Bytes(message.begin() + static_cast<long>(offset), message.begin() + static_cast<long>(end));
}

}  // namespace

bool isInitRequest(const Bytes& written)
{
    return written.size() == 65 && written[0] == 0x00 && written[1] == 0xFF && written[2] == 0xFF &&
           written[3] == 0xFF && written[4] == 0xFF && written[5] == 0x86;
}

Bytes pattern(size_t length, uint8_t seed)
{
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + i * 7 + i / 251);
    }
    return bytes;
}

Bytes reportIdFirst(uint32_t total, const Bytes& data)
{
    Bytes report{0x02, 0x00, static_cast<uint8_t>(total), static_cast<uint8_t>(total >> 8),
                 static_cast<uint8_t>(total >> 16)};
    report.insert(report.end(), data.begin(), data.end());
    return padded(report, 0x00);
}

Bytes reportIdContinuation(const Bytes& data)
{
    Bytes report{0x02, 0x01};
    report.insert(report.end(), data.begin(), data.end());
    return padded(report, 0x00);
}

std::vector<Bytes> reportIdReports(uint8_t reportId, const Bytes& message)
{
    std::vector<Bytes> reports{reportIdFirst(static_cast<uint32_t>(message.size()), slice(message, 0, 59))};
    for (size_t offset = 59; offset < message.size(); offset += 62) {
        reports.push_back(reportIdContinuation(slice(message, offset, 62)));
    }
    for (Bytes& report : reports) {
        report[0] = reportId;
    }
    return reports;
}

Bytes u2fInit(uint32_t channel, uint8_t command, uint16_t length, const Bytes& data, uint8_t padding)
{
    Bytes frame = bigEndian32(channel);
    frame.push_back(command);
    frame.push_back(static_cast<uint8_t>(length >> 8));
    frame.push_back(static_cast<uint8_t>(length));
    frame.insert(frame.end(), data.begin(), data.end());
    return padded(frame, padding);
}

Bytes u2fContinuation(uint32_t channel, uint8_t sequence, const Bytes& data, uint8_t padding)
{
    Bytes frame = bigEndian32(channel);
    frame.push_back(sequence);
    frame.insert(frame.end(), data.begin(), data.end());
    return padded(frame, padding);
}

std::vector<Bytes> u2fFrames(uint32_t channel, uint8_t command, const Bytes& message, uint8_t padding)
{
    std::vector<Bytes> frames{
        u2fInit(channel, command, static_cast<uint16_t>(message.size()), slice(message, 0, 57), padding)};
    uint8_t sequence = 0;
    for (size_t offset = 57; offset < message.size(); offset += 59) {
        frames.push_back(u2fContinuation(channel, sequence++, slice(message, offset, 59), padding));
    }
    return frames;
}

Bytes u2fInitReply(const Bytes& nonce, uint32_t channel)
{
    Bytes data = nonce;
    const Bytes id = bigEndian32(channel);
    data.insert(data.end(), id.begin(), id.end());
    data.insert(data.end(), {0x02, 0x01, 0x00, 0x00, 0x00});
    return u2fInit(0xFFFFFFFF, 0x86, 17, data);
}

void queueInputs(const std::vector<Bytes>& inputs)
{
    for (const Bytes& input : inputs) {
        fakehid::queueInput(input);
    }
}

fakehid::Device token(const wchar_t* serial, const char* path, const wchar_t* product)
{
    fakehid::Device device;
    device.path = path;
    device.serial = serial;
    device.product = product;
    return device;
}

Bytes readReply(corvel::CHIDTransport& transport, size_t capacity)
{
    Bytes buffer(capacity);
    buffer.resize(transport.read(buffer.data(), buffer.size()));
    return buffer;
}

void HidTest::SetUp()
{
    fakehid::reset();
    fake().devices.push_back(fakehid::Device{});
    transport.logTarget = &log;
    transport.setVendorProductId(0x0483, 0xA2AC);
}

void HidTest::TearDown()
{
    transport.close();
    EXPECT_EQ(fake().openHandles, 0);
    EXPECT_EQ(fake().liveEnumerations, 0);
    fakehid::reset();
}

void HidTest::openReportId()
{
    transport.open();
    ASSERT_FALSE(transport.usesU2F());
    fake().written.clear();
    fake().readTimeouts.clear();
    log.clear();
}

void HidTest::answerInits(uint32_t channel)
{
    fake().onWrite = [channel](const Bytes& written) {
        if (isInitRequest(written)) {
            fakehid::queueInput(u2fInitReply(Bytes(written.begin() + 8, written.begin() + 16), channel));
        }
    };
}

void HidTest::openU2F(uint32_t channel)
{
    answerInits(channel);
    transport.open();
    ASSERT_TRUE(transport.usesU2F());
    fake().onWrite = nullptr;
    fake().written.clear();
    fake().readTimeouts.clear();
    log.clear();
}

}  // namespace hidtest
