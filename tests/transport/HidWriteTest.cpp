// Requests cut into reports and frames, in both framings.
#include <algorithm>
#include <optional>
#include <ostream>
#include <stdexcept>

#include "HidTestSupport.h"

namespace hidtest {
namespace {

Bytes withZeroPrefix(const Bytes& frame)
{
    Bytes buffer(frame.size() + 1, 0x00);
    std::copy(frame.begin(), frame.end(), buffer.begin() + 1);
    return buffer;
}

struct WriteCase {
    size_t length;
    size_t reports;
};

void PrintTo(const WriteCase& param, std::ostream* out) { *out << param.length << " bytes"; }

std::string lengthName(const ::testing::TestParamInfo<WriteCase>& info)
{
    return "Bytes" + std::to_string(info.param.length);
}

class ReportIdWriteTest : public HidTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(ReportIdWriteTest, CutsRequestIntoNumberedReports)
{
    openReportId();
    const Bytes message = pattern(GetParam().length);
    EXPECT_EQ(transport.write(message), message.size());
    ASSERT_EQ(fake().written.size(), GetParam().reports);
    if (!message.empty()) {
        EXPECT_EQ(fake().written, reportIdReports(0x01, message));
    }
}

// 59 and 62 data bytes fit the first and each further report; 70000 needs all
// three bytes of the length field.
INSTANTIATE_TEST_SUITE_P(Lengths, ReportIdWriteTest,
                         ::testing::Values(WriteCase{0, 0}, WriteCase{1, 1}, WriteCase{59, 1}, WriteCase{60, 2},
                                           WriteCase{121, 2}, WriteCase{122, 3}, WriteCase{4096, 67},
                                           WriteCase{70000, 1130}),
                         lengthName);

TEST_F(ReportIdWriteTest, SixtyBytesPutOneByteInAZeroFilledSecondReport)
{
    openReportId();
    transport.write(pattern(60));
    ASSERT_EQ(fake().written.size(), 2u);
    Bytes second(64, 0x00);
    second[0] = 0x01;
    second[1] = 0x01;
    second[2] = pattern(60)[59];
    EXPECT_EQ(fake().written[1], second);
    const Bytes header{0x01, 0x00, 60, 0, 0};
    EXPECT_TRUE(std::equal(header.begin(), header.end(), fake().written[0].begin()));
}

class U2FWriteTest : public HidTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(U2FWriteTest, CutsRequestIntoFramesOnTheChannel)
{
    openU2F();
    const Bytes message = pattern(GetParam().length);
    EXPECT_EQ(transport.write(message), message.size());
    std::vector<Bytes> expected;
    for (const Bytes& frame : u2fFrames(kChannel, 0xC0, message, 0xEE)) {
        expected.push_back(withZeroPrefix(frame));
    }
    ASSERT_EQ(expected.size(), GetParam().reports);
    EXPECT_EQ(fake().written, expected);
}

// 57 and 59 data bytes fit the initialisation and each continuation frame;
// 7609 bytes use the last sequence number, 0x7F.
INSTANTIATE_TEST_SUITE_P(Lengths, U2FWriteTest,
                         ::testing::Values(WriteCase{0, 1}, WriteCase{1, 1}, WriteCase{57, 1}, WriteCase{58, 2},
                                           WriteCase{116, 2}, WriteCase{117, 3}, WriteCase{4096, 70},
                                           WriteCase{7609, 129}),
                         lengthName);

TEST_F(U2FWriteTest, FiftyEightBytesPutOneByteInAPaddedContinuation)
{
    openU2F();
    transport.write(pattern(58));
    ASSERT_EQ(fake().written.size(), 2u);
    Bytes second{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x00, pattern(58)[57]};
    second.resize(65, 0xEE);
    EXPECT_EQ(fake().written[1], second);
    EXPECT_EQ(fake().written[0][7], 58);
}

TEST_F(HidTest, EmptyByteStringWritesLikeLengthZero)
{
    openReportId();
    EXPECT_EQ(transport.write(Bytes{}), 0u);
    EXPECT_TRUE(fake().written.empty());

    openU2F();
    EXPECT_EQ(transport.write(Bytes{}), 0u);
    EXPECT_EQ(transport.write(nullptr, 0), 0u);
    ASSERT_EQ(fake().written.size(), 2u);
    EXPECT_EQ(fake().written[0], fake().written[1]);
    EXPECT_EQ(fake().written[0], withZeroPrefix(u2fInit(kChannel, 0xC0, 0, {}, 0xEE)));
}

TEST_F(HidTest, WriteWithoutDeviceThrowsNullHandle)
{
    EXPECT_EQ(ioFailure([this] { transport.write(pattern(10)); }), (IoFailure{Closed, "Null handle"}));
    openU2F();
    transport.close();
    EXPECT_EQ(ioFailure([this] { transport.write(nullptr, 0); }), (IoFailure{Closed, "Null handle"}));
    EXPECT_TRUE(fake().written.empty());
}

TEST_F(HidTest, NullBuffersWithALengthAreRefused)
{
    openReportId();
    EXPECT_THROW(transport.write(nullptr, 5), std::invalid_argument);
    EXPECT_THROW(transport.read(nullptr, 5), std::invalid_argument);
    EXPECT_TRUE(fake().written.empty());
    EXPECT_TRUE(fake().readTimeouts.empty());
}

TEST_F(HidTest, MessagesBeyondTheFramingsLimitsAreRefusedBeforeSending)
{
    openU2F();
    EXPECT_EQ(ioFailure([this] { transport.write(pattern(7610)); }),
              (IoFailure{TooLong, "Message too long for U2FHID framing"}));
    openReportId();
    EXPECT_EQ(ioFailure([this] { transport.write(Bytes(0x1000000)); }),
              (IoFailure{TooLong, "Message too long for HID report framing"}));
    EXPECT_TRUE(transport.isOpen());
    EXPECT_TRUE(fake().written.empty());
}

struct ShortWriteCase {
    const char* name;
    bool u2f;
    std::vector<int> results;
    std::optional<std::wstring> errorText;
    const char* message;
};

void PrintTo(const ShortWriteCase& param, std::ostream* out) { *out << param.name; }

class ShortWriteTest : public HidTest, public ::testing::WithParamInterface<ShortWriteCase> {};

// A device that takes a report only in part, or not at all, has gone or is
// out of step: the transport closes, and the next open sets up afresh.
TEST_P(ShortWriteTest, ThrowsTheHidErrorAndCloses)
{
    const ShortWriteCase& param = GetParam();
    param.u2f ? openU2F() : openReportId();
    fake().errorText = param.errorText;
    fake().writeResults.assign(param.results.begin(), param.results.end());
    EXPECT_EQ(ioFailure([this] { transport.write(pattern(100)); }), (IoFailure{Closed, param.message}));
    EXPECT_FALSE(transport.isOpen());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ShortWriteTest,
    ::testing::Values(ShortWriteCase{"ReportIdSecondReportShort", false, {64, 10}, L"broken pipe", "broken pipe"},
                      ShortWriteCase{"ReportIdErrorWithoutText", false, {-1}, std::nullopt, "HID write failed."},
                      ShortWriteCase{"U2FFrameOneByteShort", true, {64}, L"gone", "gone"},
                      ShortWriteCase{"U2FErrorWithoutText", true, {65, -1}, std::nullopt, "null"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace hidtest
