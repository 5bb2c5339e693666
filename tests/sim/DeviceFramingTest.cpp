// The token's side of both framings, without any device: what it makes of
// host frames and how it cuts replies.
#include <gtest/gtest.h>

#include "DeviceFraming.h"
#include "ReportIdDeviceFraming.h"
#include "U2fDeviceFraming.h"

namespace vexa::sim {
namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

// The token's clock in these tests: time passes only when a test says so.
const FramingClock::time_point kStart{1h};

constexpr uint32_t kBroadcast = 0xFFFFFFFF;

Bytes pattern(size_t size)
{
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = uint8_t(i * 13 + 5);
    }
    return bytes;
}

void putChannel(Bytes& frame, uint32_t channel)
{
    for (int i = 0; i < 4; ++i) {
        frame[i] = uint8_t(channel >> (24 - 8 * i));
    }
}

uint32_t channelOf(const Bytes& frame)
{
    return uint32_t(frame[0]) << 24 | uint32_t(frame[1]) << 16 | uint32_t(frame[2]) << 8 | frame[3];
}

// Host-side U2FHID frames (64 bytes, 0xEE padding) of one message.
std::vector<Bytes> hostFrames(uint32_t channel, uint8_t command, const Bytes& message)
{
    std::vector<Bytes> frames;
    Bytes first(64, 0xEE);
    putChannel(first, channel);
    first[4] = command;
    first[5] = uint8_t(message.size() >> 8);
    first[6] = uint8_t(message.size());
    size_t sent = std::min<size_t>(message.size(), 57);
    std::copy_n(message.begin(), sent, first.begin() + 7);
    frames.push_back(first);
    for (uint8_t sequence = 0; sent < message.size(); ++sequence) {
        Bytes cont(64, 0xEE);
        putChannel(cont, channel);
        cont[4] = sequence;
        const size_t take = std::min<size_t>(message.size() - sent, 59);
        std::copy_n(message.begin() + sent, take, cont.begin() + 5);
        sent += take;
        frames.push_back(cont);
    }
    return frames;
}

Received feed(IDeviceFraming& framing, const Bytes& report, FramingClock::time_point at = kStart)
{
    return framing.receive(report.data(), report.size(), at);
}

Bytes errorFrameBody(const Bytes& frame) { return Bytes(frame.begin() + 4, frame.begin() + 8); }

// Host-side reassembly of the token's U2FHID reply.
Bytes assembleU2f(const Reports& frames)
{
    if (frames.empty()) {
        return {};
    }
    const size_t length = size_t(frames[0][5]) << 8 | frames[0][6];
    Bytes message(frames[0].begin() + 7, frames[0].begin() + 7 + std::min<size_t>(length, 57));
    for (size_t i = 1; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i][4], i - 1) << "sequence";
        const size_t take = std::min<size_t>(length - message.size(), 59);
        message.insert(message.end(), frames[i].begin() + 5, frames[i].begin() + 5 + take);
    }
    return message;
}

class U2fFraming : public ::testing::Test {
protected:
    uint32_t init()
    {
        Bytes frame = hostFrames(kBroadcast, 0x86, {1, 2, 3, 4, 5, 6, 7, 8})[0];
        const Received r = feed(framing, frame);
        EXPECT_EQ(r.answer.size(), 1u);
        return r.answer.empty() ? 0
               : channelOf(r.answer[0]) == kBroadcast
                   ? uint32_t(r.answer[0][15]) << 24 | uint32_t(r.answer[0][16]) << 16 |
                         uint32_t(r.answer[0][17]) << 8 | r.answer[0][18]
                   : 0;
    }
    std::optional<Bytes> send(uint32_t channel, const Bytes& message)
    {
        std::optional<Bytes> request;
        for (const Bytes& frame : hostFrames(channel, 0xC0, message)) {
            Received r = feed(framing, frame, now);
            EXPECT_TRUE(r.answer.empty());
            if (r.request) {
                request = r.request;
            }
        }
        return request;
    }
    uint8_t errorFor(const Bytes& frame)
    {
        const Received r = feed(framing, frame, now);
        EXPECT_EQ(r.answer.size(), 1u);
        if (r.answer.empty()) {
            return 0;
        }
        EXPECT_EQ(r.answer[0][4], 0xBF);
        EXPECT_EQ(r.answer[0][6], 1);
        return r.answer[0][7];
    }

    CU2fDeviceFraming framing;
    FramingClock::time_point now = kStart;
};

TEST_F(U2fFraming, InitAnswersOnBroadcastWithNonceAndFreshChannels)
{
    const uint32_t first = init();
    const uint32_t second = init();
    EXPECT_NE(first, 0u);
    EXPECT_NE(first, kBroadcast);
    EXPECT_NE(first, second);
    Bytes frame = hostFrames(kBroadcast, 0x86, {8, 7, 6, 5, 4, 3, 2, 1})[0];
    const Received r = feed(framing, frame);
    ASSERT_EQ(r.answer.size(), 1u);
    EXPECT_EQ(Bytes(r.answer[0].begin(), r.answer[0].begin() + 15),
              (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x86, 0, 17, 8, 7, 6, 5, 4, 3, 2, 1}));
}

TEST_F(U2fFraming, RequestsOfEverySizeReassembleAndRepliesCutTheSame)
{
    const uint32_t channel = init();
    for (size_t size : {0, 1, 57, 58, 116, 117, 118, 4096, int(kMaxMessage)}) {
        SCOPED_TRACE(size);
        const Bytes message = pattern(size);
        EXPECT_EQ(send(channel, message), message);
        const Reports reply = framing.reply(message);
        EXPECT_EQ(reply.size(), size <= 57 ? 1 : 1 + (size - 57 + 58) / 59);
        for (const Bytes& frame : reply) {
            EXPECT_EQ(frame.size(), 64u);
            EXPECT_EQ(channelOf(frame), channel);
        }
        EXPECT_EQ(reply[0][4], 0xC0);
        EXPECT_EQ(assembleU2f(reply), message);
        framing.finish();
    }
}

TEST_F(U2fFraming, ProtocolFaultsAreAnsweredWithErrorCodes)
{
    const uint32_t channel = init();
    Bytes wrongCommand = hostFrames(channel, 0x83, {1})[0];
    EXPECT_EQ(errorFor(wrongCommand), CU2fDeviceFraming::kErrInvalidCmd);
    Bytes unknownChannel = hostFrames(channel + 1, 0xC0, {1})[0];
    EXPECT_EQ(errorFor(unknownChannel), CU2fDeviceFraming::kErrInvalidChannel);
    Bytes broadcastMessage = hostFrames(kBroadcast, 0xC0, {1})[0];
    EXPECT_EQ(errorFor(broadcastMessage), CU2fDeviceFraming::kErrInvalidChannel);
    Bytes tooLong = hostFrames(channel, 0xC0, {})[0];
    tooLong[5] = uint8_t((kMaxMessage + 1) >> 8);
    tooLong[6] = uint8_t(kMaxMessage + 1);
    EXPECT_EQ(errorFor(tooLong), CU2fDeviceFraming::kErrInvalidLen);
    Bytes shortInit = hostFrames(kBroadcast, 0x86, {1, 2, 3})[0];
    EXPECT_EQ(errorFor(shortInit), CU2fDeviceFraming::kErrInvalidLen);

    const std::vector<Bytes> frames = hostFrames(channel, 0xC0, pattern(200));
    EXPECT_FALSE(feed(framing, frames[0]).request);
    EXPECT_EQ(errorFor(frames[2]), CU2fDeviceFraming::kErrInvalidSeq);
    // After the fault the channel takes a new message.
    EXPECT_EQ(send(channel, {4, 5}), (Bytes{4, 5}));
}

TEST_F(U2fFraming, OtherChannelIsBusyWhileAMessageIsUnderway)
{
    const uint32_t a = init();
    const uint32_t b = init();
    const std::vector<Bytes> frames = hostFrames(a, 0xC0, pattern(100));
    feed(framing, frames[0]);
    Bytes fromB = hostFrames(b, 0xC0, {1})[0];
    EXPECT_EQ(errorFor(fromB), CU2fDeviceFraming::kErrChannelBusy);
    // Continuation frames of another channel are not this message's.
    Bytes stray = frames[1];
    putChannel(stray, b);
    EXPECT_TRUE(feed(framing, stray).answer.empty());
    EXPECT_EQ(feed(framing, frames[1]).request, pattern(100));
}

// A transaction lasts from the first frame of a request until its reply is
// out; any message meanwhile, on any channel, is told the token is busy.
TEST_F(U2fFraming, OneTransactionAtATime)
{
    const uint32_t a = init();
    const uint32_t b = init();
    ASSERT_EQ(send(a, {1, 2}), (Bytes{1, 2}));
    EXPECT_EQ(errorFor(hostFrames(b, 0xC0, {3})[0]), CU2fDeviceFraming::kErrChannelBusy);
    EXPECT_EQ(errorFor(hostFrames(a, 0xC0, {3})[0]), CU2fDeviceFraming::kErrChannelBusy);
    // The busy answers went to the askers; the reply still goes to a.
    EXPECT_NE(init(), 0u);
    EXPECT_EQ(channelOf(framing.reply({2, 1})[0]), a);
    framing.finish();
    EXPECT_EQ(send(b, {3}), (Bytes{3}));
    EXPECT_EQ(channelOf(framing.reply({3})[0]), b);
}

TEST_F(U2fFraming, InitOnTheChannelOfATransactionAbortsIt)
{
    const uint32_t a = init();
    ASSERT_EQ(send(a, {1}), (Bytes{1}));
    Bytes resync = hostFrames(a, 0x86, {1, 2, 3, 4, 5, 6, 7, 8})[0];
    const Received r = feed(framing, resync);
    ASSERT_EQ(r.answer.size(), 1u);
    EXPECT_EQ(channelOf(r.answer[0]), a);
    EXPECT_TRUE(framing.reply({1}).empty());
    EXPECT_TRUE(framing.error(0x2A).empty());
    framing.finish();
    EXPECT_EQ(send(a, {2}), (Bytes{2}));
}

// A host that stops in the middle of a request (killed while writing) does
// not hold the token: once the next frame is overdue the request is given up
// with ERR_MSG_TIMEOUT on its channel, and other hosts are served.
TEST_F(U2fFraming, PartialRequestIsGivenUpOnceItsNextFrameIsOverdue)
{
    const uint32_t a = init();
    const uint32_t b = init();
    const std::vector<Bytes> frames = hostFrames(a, 0xC0, pattern(300));
    feed(framing, frames[0], now);
    now += 100ms;
    feed(framing, frames[1], now);
    ASSERT_EQ(framing.deadline(), now + kFrameTimeout);
    EXPECT_FALSE(framing.expire(now + kFrameTimeout - 1ms).gaveUp);
    EXPECT_EQ(errorFor(hostFrames(b, 0xC0, {1})[0]), CU2fDeviceFraming::kErrChannelBusy);

    const Received r = framing.expire(now + kFrameTimeout);
    EXPECT_TRUE(r.gaveUp);
    ASSERT_EQ(r.answer.size(), 1u);
    EXPECT_EQ(channelOf(r.answer[0]), a);
    EXPECT_EQ(errorFrameBody(r.answer[0]), (Bytes{0xBF, 0, 1, CU2fDeviceFraming::kErrMsgTimeout}));
    EXPECT_FALSE(framing.deadline());
    now += kFrameTimeout;
    EXPECT_EQ(send(b, {1, 2}), (Bytes{1, 2}));
}

// The deadline holds whether or not the token looked at the clock before
// the late frame came: the frame meets a request already given up.
TEST_F(U2fFraming, LateFrameFindsItsRequestGivenUp)
{
    const uint32_t a = init();
    const std::vector<Bytes> frames = hostFrames(a, 0xC0, pattern(300));
    feed(framing, frames[0], now);
    now += kFrameTimeout;
    const Received late = feed(framing, frames[1], now);
    EXPECT_TRUE(late.gaveUp);
    ASSERT_EQ(late.answer.size(), 1u);
    EXPECT_EQ(errorFrameBody(late.answer[0]), (Bytes{0xBF, 0, 1, CU2fDeviceFraming::kErrMsgTimeout}));
    for (size_t i = 2; i < frames.size(); ++i) {
        EXPECT_FALSE(feed(framing, frames[i], now).request);
    }
    EXPECT_EQ(send(a, {3}), (Bytes{3}));
}

// Each frame in time is not enough: a host trickling frames holds the token
// no longer than the transaction time-out.
TEST_F(U2fFraming, TricklingRequestIsGivenUpAfterTheTransactionTimeout)
{
    const uint32_t a = init();
    const std::vector<Bytes> frames = hostFrames(a, 0xC0, pattern(1000));
    const FramingClock::time_point first = now;
    size_t sent = 0;
    for (; sent < frames.size() && now < first + kTransactionTimeout; ++sent, now += kFrameTimeout - 1ms) {
        EXPECT_FALSE(feed(framing, frames[sent], now).gaveUp) << "frame " << sent;
    }
    ASSERT_LT(sent, frames.size());
    EXPECT_EQ(framing.deadline(), first + kTransactionTimeout);
    EXPECT_TRUE(feed(framing, frames[sent], now).gaveUp);
}

TEST_F(U2fFraming, ReplyGoesToTheChannelOfTheLastRequest)
{
    init();
    const uint32_t second = init();
    send(second, {1});
    EXPECT_EQ(channelOf(framing.reply({1})[0]), second);
    const Reports error = framing.error(0x2A);
    ASSERT_EQ(error.size(), 1u);
    EXPECT_EQ(channelOf(error[0]), second);
    EXPECT_EQ(Bytes(error[0].begin() + 4, error[0].begin() + 8), (Bytes{0xBF, 0, 1, 0x2A}));
}

TEST_F(U2fFraming, GarbledReplyBreaksTheSequenceEvenWhenShort)
{
    const uint32_t channel = init();
    for (size_t size : {3, 200}) {
        SCOPED_TRACE(size);
        send(channel, {1});
        const Reports frames = framing.garbledReply(pattern(size));
        framing.finish();
        ASSERT_GE(frames.size(), 2u);
        EXPECT_GE(size_t(frames[0][5]) << 8 | frames[0][6], 58u);
        EXPECT_EQ(frames[1][4], 1);  // the host expects 0
    }
}

class ReportIdFraming : public ::testing::Test {
protected:
    // Host-side reports as CHIDTransport writes them (64 bytes, 0x00 padding).
    static std::vector<Bytes> hostReports(const Bytes& message, size_t announced)
    {
        std::vector<Bytes> reports;
        Bytes first(64, 0);
        first[0] = 0x01;
        first[2] = uint8_t(announced);
        first[3] = uint8_t(announced >> 8);
        first[4] = uint8_t(announced >> 16);
        size_t sent = std::min<size_t>(message.size(), 59);
        std::copy_n(message.begin(), sent, first.begin() + 5);
        reports.push_back(first);
        while (sent < message.size()) {
            Bytes cont(64, 0);
            cont[0] = 0x01;
            cont[1] = 0x01;
            const size_t take = std::min<size_t>(message.size() - sent, 62);
            std::copy_n(message.begin() + sent, take, cont.begin() + 2);
            sent += take;
            reports.push_back(cont);
        }
        return reports;
    }
    std::optional<Bytes> send(const std::vector<Bytes>& reports)
    {
        std::optional<Bytes> request;
        for (const Bytes& report : reports) {
            Received r = feed(framing, report);
            EXPECT_TRUE(r.answer.empty());
            if (r.request) {
                request = r.request;
            }
        }
        return request;
    }

    CReportIdDeviceFraming framing;
};

TEST_F(ReportIdFraming, RequestsOfEverySizeReassembleAndRepliesCutTheSame)
{
    for (size_t size : {1, 59, 60, 121, 122, 4096, int(kMaxMessage)}) {
        SCOPED_TRACE(size);
        const Bytes message = pattern(size);
        EXPECT_EQ(send(hostReports(message, size)), message);
        const Reports reply = framing.reply(message);
        EXPECT_EQ(reply.size(), size <= 59 ? 1 : 1 + (size - 59 + 61) / 62);
        Bytes assembled;
        for (const Bytes& report : reply) {
            ASSERT_EQ(report.size(), 64u);
            EXPECT_EQ(report[0], 0x02);
            EXPECT_EQ(report[1], &report == &reply[0] ? 0x00 : 0x01);
            const size_t offset = &report == &reply[0] ? 5 : 2;
            const size_t take = std::min(size - assembled.size(), 64 - offset);
            assembled.insert(assembled.end(), report.begin() + offset, report.begin() + offset + take);
        }
        EXPECT_EQ(Bytes(reply[0].begin() + 2, reply[0].begin() + 5),
                  (Bytes{uint8_t(size), uint8_t(size >> 8), uint8_t(size >> 16)}));
        EXPECT_EQ(assembled, message);
    }
}

TEST_F(ReportIdFraming, IgnoresWhatItCannotUse)
{
    const Bytes message = pattern(100);
    std::vector<Bytes> reports = hostReports(message, 100);
    Bytes otherId = reports[0];
    otherId[0] = 0x02;
    Bytes otherType = reports[0];
    otherType[1] = 0x07;
    Bytes init(64, 0xFF);
    init[4] = 0x86;
    const struct {
        const char* name;
        Bytes report;
    } ignored[] = {
        {"continuation before any first report", reports[1]},
        {"another report id", otherId},
        {"unknown packet type", otherType},
        {"U2FHID INIT", init},
    };
    for (const auto& c : ignored) {
        SCOPED_TRACE(c.name);
        const Received r = feed(framing, c.report);
        EXPECT_TRUE(r.answer.empty());
        EXPECT_FALSE(r.request);
    }
    // Longer than the token holds: dropped, continuations included.
    std::vector<Bytes> huge = hostReports(pattern(200), kMaxMessage + 1);
    EXPECT_FALSE(send(huge));
    EXPECT_TRUE(framing.error(6).empty());
    EXPECT_EQ(send(reports), message);
}

// Without error frames a request whose host stopped sending is dropped
// silently; what comes of it later completes nothing.
TEST_F(ReportIdFraming, PartialRequestIsDroppedOnceItsNextReportIsOverdue)
{
    const std::vector<Bytes> reports = hostReports(pattern(200), 200);
    feed(framing, reports[0], kStart);
    feed(framing, reports[1], kStart + 100ms);
    ASSERT_EQ(framing.deadline(), kStart + 100ms + kFrameTimeout);
    EXPECT_FALSE(framing.expire(kStart + 100ms + kFrameTimeout - 1ms).gaveUp);
    const Received r = framing.expire(kStart + 100ms + kFrameTimeout);
    EXPECT_TRUE(r.gaveUp);
    EXPECT_TRUE(r.answer.empty());
    EXPECT_FALSE(framing.deadline());
    EXPECT_FALSE(send({reports[2], reports[3]}));
    EXPECT_EQ(send(hostReports(pattern(70), 70)), pattern(70));
}

TEST_F(ReportIdFraming, GarbledReplyIsAContinuationWithoutFirstReport)
{
    const Reports reports = framing.garbledReply(pattern(10));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0][0], 0x02);
    EXPECT_EQ(reports[0][1], 0x01);
}

}  // namespace
}  // namespace vexa::sim
