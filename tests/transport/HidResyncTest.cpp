// After a read gave up on a reply, the token may still send it: it must never
// pass for the reply of the next request.
#include <algorithm>

#include "HidTestSupport.h"

namespace hidtest {
namespace {

constexpr uint32_t kFreshChannel = 0x0BADCAFE;

const Bytes kLate = pattern(100, 3);  // the reply of the abandoned exchange
const Bytes kNext = pattern(30, 9);   // the reply of the next request

size_t initRequests()
{
    const auto& written = fakehid::state().written;
    return static_cast<size_t>(std::count_if(written.begin(), written.end(), isInitRequest));
}

// Report-id framing cannot tell the two replies apart: the next write waits
// for the rest of the abandoned reply and throws it away before it sends.
struct LateReportsCase {
    const char* name;
    std::vector<Bytes> beforeGivingUp;  // what arrived before the time-out
    std::vector<Bytes> afterGivingUp;   // what the token sends afterwards
};

void PrintTo(const LateReportsCase& param, std::ostream* out) { *out << param.name; }

class ReportIdLateReplyTest : public HidTest, public ::testing::WithParamInterface<LateReportsCase> {};

TEST_P(ReportIdLateReplyTest, IsDiscardedBeforeTheNextRequest)
{
    openReportId();
    queueInputs(GetParam().beforeGivingUp);
    EXPECT_EQ(ioFailure([this] { readReply(transport, 4096); }).kind, TimedOut);
    queueInputs(GetParam().afterGivingUp);
    fake().readTimeouts.clear();

    transport.write(pattern(10));
    EXPECT_TRUE(fake().inputs.empty()) << "the late reply is gone before the request goes out";
    EXPECT_EQ(fake().written.size(), 1u);
    queueInputs(reportIdReports(0x02, kNext));
    EXPECT_EQ(readReply(transport, 4096), kNext);

    // Once in step, a write sends without waiting.
    fake().readTimeouts.clear();
    transport.write(pattern(10));
    EXPECT_EQ(fake().readTimeouts, std::vector<int>{0});
}

const std::vector<Bytes> kLateReports = reportIdReports(0x02, kLate);

INSTANTIATE_TEST_SUITE_P(
    Cases, ReportIdLateReplyTest,
    ::testing::Values(LateReportsCase{"WholeReplyLate", {}, kLateReports},
                      LateReportsCase{"RestOfTheReplyLate", {kLateReports[0]}, {kLateReports[1]}},
                      // More than the abandoned reply has arrived: all of it goes.
                      LateReportsCase{"LateReplyAndMore", {}, {kLateReports[0], kLateReports[1], kLateReports[0]}}),
    [](const auto& info) { return std::string(info.param.name); });

// A token that dropped the request costs the next write one time-out, no
// more; then the request goes out.
TEST_F(HidTest, ReportIdReplyThatNeverComesCostsOneTimeOut)
{
    openReportId();
    transport.setTimeout(700);
    EXPECT_EQ(ioFailure([this] { readReply(transport, 4096); }).kind, TimedOut);
    fake().readTimeouts.clear();
    transport.write(pattern(10));
    ASSERT_FALSE(fake().readTimeouts.empty());
    EXPECT_GT(fake().readTimeouts.front(), 0);
    EXPECT_LE(fake().readTimeouts.front(), 700);
    EXPECT_EQ(fake().written.size(), 1u);
}

// The token did answer, with a broken message: what follows of it can only be
// continuations, which no read takes for a reply. They are cleared away
// without a wait.
TEST_F(HidTest, ReportIdBrokenReplyIsClearedWithoutWaiting)
{
    openReportId();
    Bytes wrongId = kLateReports[0];
    wrongId[0] = 0x07;
    queueInputs({wrongId});
    EXPECT_EQ(ioFailure([this] { readReply(transport, 4096); }).kind, BrokenFraming);
    queueInputs({kLateReports[1]});
    fake().readTimeouts.clear();
    transport.write(pattern(10));
    EXPECT_TRUE(fake().inputs.empty());
    EXPECT_TRUE(std::all_of(fake().readTimeouts.begin(), fake().readTimeouts.end(), [](int t) { return t == 0; }));
    queueInputs(reportIdReports(0x02, kNext));
    EXPECT_EQ(readReply(transport, 4096), kNext);
}

// In U2FHID framing the late reply comes on the channel the transport has
// left: the next write takes a fresh one, and the receiver skips the old.
TEST_F(HidTest, U2FLateReplyStaysOnTheAbandonedChannel)
{
    openU2F();
    EXPECT_EQ(ioFailure([this] { readReply(transport, 4096); }).kind, TimedOut);
    answerInits(kFreshChannel);
    transport.write(pattern(10));
    EXPECT_EQ(initRequests(), 1u);
    const Bytes request = fake().written.back();
    EXPECT_EQ(Bytes(request.begin() + 1, request.begin() + 5), (Bytes{0x0B, 0xAD, 0xCA, 0xFE}));
    queueInputs(u2fFrames(kChannel, 0xC0, kLate));
    queueInputs(u2fFrames(kFreshChannel, 0xC0, kNext));
    EXPECT_EQ(readReply(transport, 4096), kNext);
}

// A token that does not answer the channel request gets no request: the
// write fails as a time-out and the next one asks again.
TEST_F(HidTest, U2FWriteWithoutAFreshChannelSendsNothing)
{
    openU2F();
    transport.setTimeout(300);
    EXPECT_EQ(ioFailure([this] { readReply(transport, 4096); }).kind, TimedOut);
    EXPECT_EQ(ioFailure([this] { transport.write(pattern(10)); }),
              (IoFailure{TimedOut, "No answer to the U2FHID channel request"}));
    EXPECT_EQ(fake().written.size(), 1u) << "only the INIT request";
    EXPECT_TRUE(transport.isOpen());

    answerInits(kFreshChannel);
    transport.write(pattern(10));
    EXPECT_EQ(initRequests(), 2u);
    queueInputs(u2fFrames(kFreshChannel, 0xC0, kNext));
    EXPECT_EQ(readReply(transport, 4096), kNext);
}

struct InStepCase {
    const char* name;
    std::vector<Bytes> inputs;
    corvel::TransportFailure kind;
};

void PrintTo(const InStepCase& param, std::ostream* out) { *out << param.name; }

class U2FInStepTest : public HidTest, public ::testing::WithParamInterface<InStepCase> {};

// Failures after which no more of the reply can come keep the channel.
TEST_P(U2FInStepTest, KeepsTheChannel)
{
    openU2F();
    queueInputs(GetParam().inputs);
    EXPECT_EQ(ioFailure([this] { readReply(transport, 60); }).kind, GetParam().kind);
    answerInits(kFreshChannel);
    transport.write(pattern(10));
    EXPECT_EQ(initRequests(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, U2FInStepTest,
    ::testing::Values(InStepCase{"ErrorFrameFromTheToken", {u2fInit(kChannel, 0xBF, 1, {0x7F})}, BrokenFraming},
                      InStepCase{"ReplyTooLong", u2fFrames(kChannel, 0xC0, kLate), TooLong}),
    [](const auto& info) { return std::string(info.param.name); });

// A device opened again starts in step: its new handle is never given the
// old one's replies.
TEST_F(HidTest, OpeningAgainPutsTheTransportInStep)
{
    openU2F();
    EXPECT_EQ(ioFailure([this] { readReply(transport, 4096); }).kind, TimedOut);
    openU2F(kFreshChannel);
    transport.write(pattern(10));
    EXPECT_EQ(initRequests(), 0u);
}

// Several programs share the token over HID (taking turns through a lock
// file); each handle gets a copy of every reply. In report-id framing the
// copies of the others' replies wait in this handle's queue: the next write
// drops them, and the read takes this program's own reply.
TEST_F(HidTest, ReportIdRepliesToOtherProgramsAreDroppedBeforeWriting)
{
    openReportId();
    queueInputs(reportIdReports(0x02, kLate));
    queueInputs(reportIdReports(0x02, pattern(20, 5)));
    transport.write(pattern(10));
    EXPECT_TRUE(fake().inputs.empty());
    queueInputs(reportIdReports(0x02, kNext));
    EXPECT_EQ(readReply(transport, 4096), kNext);
}

}  // namespace
}  // namespace hidtest
