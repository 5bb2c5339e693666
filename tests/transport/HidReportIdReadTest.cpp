// Replies reassembled from numbered input reports.
#include <climits>
#include <optional>
#include <ostream>

#include "HidTestSupport.h"

namespace hidtest {
namespace {

class ReportIdReadTest : public HidTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(ReportIdReadTest, ReassemblesTheReply)
{
    openReportId();
    const Bytes reply = pattern(GetParam(), 9);
    queueInputs(reportIdReports(0x02, reply));
    EXPECT_EQ(readReply(transport, 4096), reply);
    EXPECT_TRUE(fake().inputs.empty());
}

INSTANTIATE_TEST_SUITE_P(Lengths, ReportIdReadTest, ::testing::Values(0, 1, 59, 60, 121, 122, 4096),
                         [](const auto& info) { return "Bytes" + std::to_string(info.param); });

// The whole reply is taken from the device, so that none of it can pass for
// the next reply, and none of it is handed out.
TEST_F(HidTest, ReportIdReplyLongerThanCapacityIsTooLongAndLeavesNothing)
{
    openReportId();
    const Bytes reply = pattern(100);
    queueInputs(reportIdReports(0x02, reply));
    EXPECT_EQ(ioFailure([this] { readReply(transport, 60); }),
              (IoFailure{TooLong, "HID reply longer than the read buffer"}));
    EXPECT_TRUE(fake().inputs.empty());
    EXPECT_TRUE(transport.isOpen());
    const Bytes next = pattern(30, 7);
    queueInputs(reportIdReports(0x02, next));
    EXPECT_EQ(readReply(transport, 60), next);
}

// A reply cut short by the time-out is dropped: the next read starts afresh.
TEST_F(HidTest, ReportIdTimeoutIsTimedOutAndDropsWhatArrived)
{
    openReportId();
    const IoFailure timedOut{TimedOut, "No HID reply within the time-out"};
    EXPECT_EQ(ioFailure([this] { readReply(transport, 4096); }), timedOut);
    const Bytes reply = pattern(100);
    fakehid::queueInput(reportIdReports(0x02, reply)[0]);
    EXPECT_EQ(ioFailure([this] { readReply(transport, 4096); }), timedOut);
    EXPECT_TRUE(transport.isOpen());
    queueInputs(reportIdReports(0x02, pattern(20, 4)));
    EXPECT_EQ(readReply(transport, 4096), pattern(20, 4));
}

TEST_F(HidTest, ReadWaitsTheConfiguredTimeForEachReport)
{
    EXPECT_EQ(transport.getTimeout(), 4000u);
    openReportId();
    transport.setTimeout(1234);
    queueInputs(reportIdReports(0x02, pattern(100)));
    readReply(transport, 4096);
    EXPECT_EQ(fake().readTimeouts, (std::vector<int>{1234, 1234}));

    // hidapi would take a negative time-out as "wait for ever".
    transport.setTimeout(UINT32_MAX);
    EXPECT_EQ(ioFailure([this] { readReply(transport, 4096); }).kind, TimedOut);
    EXPECT_EQ(fake().readTimeouts.back(), INT_MAX);
}

TEST_F(HidTest, ReadWithoutCapacityOrDeviceLeavesTheDeviceAlone)
{
    openReportId();
    queueInputs(reportIdReports(0x02, pattern(10)));
    EXPECT_EQ(transport.read(nullptr, 0), 0u);
    transport.close();
    EXPECT_EQ(ioFailure([this] { readReply(transport, 4096); }), (IoFailure{Closed, "Null handle"}));
    EXPECT_TRUE(fake().readTimeouts.empty());
}

struct ReadErrorCase {
    const char* name;
    std::vector<Bytes> inputs;  // an empty entry stands for a failed HID read
    std::optional<std::wstring> errorText;
    IoFailure failure;
};

void PrintTo(const ReadErrorCase& param, std::ostream* out) { *out << param.name; }

class ReportIdReadErrorTest : public HidTest, public ::testing::WithParamInterface<ReadErrorCase> {};

// The next reply must come out clean: nothing of the broken message may stay
// in front of it. A failed HID read means the device has gone: the transport
// closes, so that the next exchange opens it again.
TEST_P(ReportIdReadErrorTest, ThrowsAndDropsTheBrokenMessage)
{
    const ReadErrorCase& param = GetParam();
    openReportId();
    fake().errorText = param.errorText;
    for (const Bytes& input : param.inputs) {
        input.empty() ? fakehid::queueResult(-1) : fakehid::queueInput(input);
    }
    EXPECT_EQ(ioFailure([this] { readReply(transport, 4096); }), param.failure);
    EXPECT_EQ(transport.isOpen(), param.failure.kind != Closed);
    fake().inputs.clear();
    if (!transport.isOpen()) {
        openReportId();
    }
    const Bytes next = pattern(70, 3);
    queueInputs(reportIdReports(0x02, next));
    EXPECT_EQ(readReply(transport, 4096), next);
}

Bytes withByte(Bytes report, size_t index, uint8_t value)
{
    report[index] = value;
    return report;
}

Bytes prefix(const Bytes& bytes, size_t length)
{
    return Bytes(bytes.begin(), bytes.begin() + static_cast<long>(length));
}

const Bytes kFirstOf100 = reportIdFirst(100, pattern(59));

INSTANTIATE_TEST_SUITE_P(
    Cases, ReportIdReadErrorTest,
    ::testing::Values(ReadErrorCase{"HidErrorText", {kFirstOf100, {}}, L"I/O error", {Closed, "I/O error"}},
                      ReadErrorCase{"HidErrorWithoutText", {{}}, std::nullopt, {Closed, "null"}},
                      ReadErrorCase{"WrongReportId",
                                    {withByte(kFirstOf100, 0, 0x03)},
                                    std::nullopt,
                                    {BrokenFraming, "Invalid HID report id received"}},
                      ReadErrorCase{"WrongReportIdMidMessage",
                                    {kFirstOf100, withByte(reportIdContinuation(pattern(41)), 0, 0x01)},
                                    std::nullopt,
                                    {BrokenFraming, "Invalid HID report id received"}},
                      ReadErrorCase{"UnknownPacketType",
                                    {kFirstOf100, withByte(reportIdContinuation(pattern(41)), 1, 0x02)},
                                    std::nullopt,
                                    {BrokenFraming, "Invalid HID packet id received"}},
                      ReadErrorCase{"ContinuationFirst",
                                    {reportIdContinuation(pattern(41))},
                                    std::nullopt,
                                    {BrokenFraming, "Invalid HID packet received (out of order)"}},
                      ReadErrorCase{"ShortReport",
                                    {kFirstOf100, prefix(reportIdContinuation(pattern(41)), 43)},
                                    std::nullopt,
                                    {BrokenFraming, "Short HID report received"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HidTest, AFirstReportAbandonsTheMessageItInterrupts)
{
    openReportId();
    fakehid::queueInput(kFirstOf100);
    const Bytes reply = pattern(80, 5);
    queueInputs(reportIdReports(0x02, reply));
    EXPECT_EQ(readReply(transport, 4096), reply);
}

TEST_F(HidTest, ReportIdIgnoresBytesBeyondTheMessageLength)
{
    openReportId();
    Bytes first = reportIdFirst(3, pattern(59));
    fakehid::queueInput(first);
    EXPECT_EQ(readReply(transport, 4096), Bytes(first.begin() + 5, first.begin() + 8));
}

}  // namespace
}  // namespace hidtest
