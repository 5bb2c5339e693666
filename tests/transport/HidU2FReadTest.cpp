// Replies reassembled from U2FHID frames.
#include <ostream>

#include "HidTestSupport.h"
#include "LogLevel.h"

namespace hidtest {
namespace {

constexpr uint32_t kOtherChannel = 0x01020304;

class U2FReadTest : public HidTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(U2FReadTest, ReassemblesTheReply)
{
    openU2F();
    const Bytes reply = pattern(GetParam(), 11);
    queueInputs(u2fFrames(kChannel, 0xC0, reply));
    EXPECT_EQ(readReply(transport, 8192), reply);
    EXPECT_TRUE(fake().inputs.empty());
}

INSTANTIATE_TEST_SUITE_P(Lengths, U2FReadTest, ::testing::Values(1, 57, 58, 116, 117, 4096, 7609),
                         [](const auto& info) { return "Bytes" + std::to_string(info.param); });

TEST_F(HidTest, U2FAcceptsAnyReplyCommand)
{
    openU2F();
    const Bytes reply = pattern(20);
    queueInputs(u2fFrames(kChannel, 0x83, reply));
    EXPECT_EQ(readReply(transport, 4096), reply);
}

// The whole reply is taken from the device, so that its continuation frames
// cannot pass for the next reply, and none of it is handed out.
TEST_F(HidTest, U2FReplyLongerThanCapacityIsTooLongAndLeavesNothing)
{
    openU2F();
    const Bytes next = pattern(30, 77);
    queueInputs(u2fFrames(kChannel, 0xC0, pattern(200)));
    queueInputs(u2fFrames(kChannel, 0xC0, next));
    EXPECT_EQ(ioFailure([this] { readReply(transport, 60); }),
              (IoFailure{TooLong, "HID reply longer than the read buffer"}));
    EXPECT_EQ(fake().inputs.size(), 1u) << "only the next reply is left";
    EXPECT_EQ(readReply(transport, 4096), next);
}

// Continuation frames of a message abandoned earlier come before its next
// first frame; they are skipped.
TEST_F(HidTest, U2FSkipsContinuationsBeforeTheFirstFrame)
{
    openU2F();
    const Bytes reply = pattern(70, 5);
    queueInputs({u2fContinuation(kChannel, 1, pattern(59)), u2fContinuation(kChannel, 2, pattern(59))});
    queueInputs(u2fFrames(kChannel, 0xC0, reply));
    EXPECT_EQ(readReply(transport, 4096), reply);
}

// ERR_CHANNEL_BUSY: the token did nothing with the request, so it goes
// again (the same frames) until the token takes it.
TEST_F(HidTest, U2FBusyTokenGetsTheRequestAgain)
{
    openU2F();
    const Bytes request = pattern(100, 3);
    const Bytes reply = pattern(70, 9);
    const Bytes busy = u2fInit(kChannel, 0xBF, 1, {0x06});
    queueInputs({busy, busy});
    queueInputs(u2fFrames(kChannel, 0xC0, reply));
    fake().written.clear();
    transport.write(request);
    EXPECT_EQ(readReply(transport, 4096), reply);
    ASSERT_EQ(fake().written.size(), 6u) << "two frames, three times";
    EXPECT_EQ(fake().written[0], fake().written[4]);
    EXPECT_EQ(fake().written[1], fake().written[5]);
}

// Within the time-out only: a token busy for longer fails the read.
TEST_F(HidTest, U2FBusyBeyondTheTimeoutFails)
{
    openU2F();
    transport.setTimeout(40);
    const Bytes busy = u2fInit(kChannel, 0xBF, 1, {0x06});
    for (int i = 0; i < 200; ++i) {
        queueInputs({busy});
    }
    transport.write(pattern(10));
    EXPECT_EQ(ioFailure([this] { readReply(transport, 4096); }),
              (IoFailure{BrokenFraming, "U2FHID error 6 from the token"}));
    EXPECT_GT(fake().inputs.size(), 150u) << "a few tries, not one per busy answer";
}

TEST_F(HidTest, U2FSkipsFramesOfOtherChannels)
{
    openU2F();
    const Bytes reply = pattern(150);
    std::vector<Bytes> frames = u2fFrames(kChannel, 0xC0, reply);
    frames.insert(frames.begin() + 2, u2fContinuation(kOtherChannel, 1, pattern(59)));
    frames.insert(frames.begin(), u2fInit(kOtherChannel, 0xC0, 5, pattern(5)));
    frames.insert(frames.begin(), u2fContinuation(kChannel, 0, pattern(59)));
    queueInputs(frames);
    EXPECT_EQ(readReply(transport, 4096), reply);
}

struct U2FFailureCase {
    const char* name;
    std::vector<Bytes> inputs;  // an empty entry stands for a failed HID read
    std::vector<std::pair<int32_t, std::string>> logLines;
    IoFailure failure;
};

void PrintTo(const U2FFailureCase& param, std::ostream* out) { *out << param.name; }

class U2FReadFailureTest : public HidTest, public ::testing::WithParamInterface<U2FFailureCase> {};

// The failure hands out nothing, and the next reply comes out clean. A failed
// HID read means the device has gone: the transport closes, so that the next
// exchange opens it again.
TEST_P(U2FReadFailureTest, ThrowsItsKindAndLogs)
{
    openU2F();
    for (const Bytes& input : GetParam().inputs) {
        input.empty() ? fakehid::queueResult(-1) : fakehid::queueInput(input);
    }
    EXPECT_EQ(ioFailure([this] { readReply(transport, 4096); }), GetParam().failure);
    EXPECT_EQ(log.lines(), GetParam().logLines);
    EXPECT_EQ(transport.isOpen(), GetParam().failure.kind != Closed);
    fake().inputs.clear();
    if (!transport.isOpen()) {
        openU2F();
    }
    const Bytes next = pattern(90, 4);
    queueInputs(u2fFrames(kChannel, 0xC0, next));
    EXPECT_EQ(readReply(transport, 4096), next);
}

const Bytes kInitOf100 = u2fInit(kChannel, 0xC0, 100, pattern(57));
const std::pair<int32_t, std::string> kTimeoutLine{corvel::kLogInfo, "hid transport received timeout"};
const IoFailure kTimedOut{TimedOut, "No U2FHID reply within the time-out"};
const IoFailure kBrokenSequence{BrokenFraming, "Broken U2FHID continuation sequence"};

std::pair<int32_t, std::string> errorLine(int code)
{
    return {corvel::kLogInfo, "hid transport received error " + std::to_string(code)};
}

INSTANTIATE_TEST_SUITE_P(
    Cases, U2FReadFailureTest,
    ::testing::Values(
        U2FFailureCase{
            "WrongSequence", {kInitOf100, u2fContinuation(kChannel, 1, pattern(43))}, {errorLine(-4)}, kBrokenSequence},
        U2FFailureCase{"InitInsteadOfContinuation", {kInitOf100, kInitOf100}, {errorLine(-4)}, kBrokenSequence},
        U2FFailureCase{"ErrorFrame",
                       {u2fInit(kChannel, 0xBF, 1, {0x7F})},
                       {errorLine(-127)},
                       {BrokenFraming, "U2FHID error 127 from the token"}},
        U2FFailureCase{"ErrorFrameSayingTimeout",
                       {u2fInit(kChannel, 0xBF, 1, {0x05})},
                       {},
                       {BrokenFraming, "U2FHID error 5 from the token"}},
        U2FFailureCase{"TimeoutMidMessage", {kInitOf100}, {kTimeoutLine}, kTimedOut},
        U2FFailureCase{"TimeoutBeforeReply", {}, {kTimeoutLine}, kTimedOut},
        U2FFailureCase{"ShortFrame", {kInitOf100, Bytes(10, 0x00)}, {kTimeoutLine}, kTimedOut},
        U2FFailureCase{
            "HidReadError", {kInitOf100, {}}, {kTimeoutLine, errorLine(-127)}, {Closed, "HID read failed."}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace hidtest
