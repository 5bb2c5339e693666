// The promises of CTransport, checked once against every transport: HID in
// both framings, the daemon's Unix socket and TLS. Where stream and device
// transports differ by design, the case asks the backend which it is.
#include <gtest/gtest.h>

#include <chrono>
#include <initializer_list>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "ContractPeer.h"
#include "Exception.h"
#include "HidTestSupport.h"
#include "IoFailure.h"

namespace contract {

void PrintTo(const Backend& backend, std::ostream* out) { *out << backend.name; }

namespace {

using hidtest::pattern;
using vexa::test::BrokenFraming;
using vexa::test::Closed;
using vexa::test::ioFailure;
using vexa::test::TimedOut;
using vexa::test::TooLong;
using vexa::test::Unreachable;

constexpr uint32_t kTimeout = 5000;      // never reached by a peer that answers
constexpr uint32_t kShortTimeout = 100;  // for a peer that does not
constexpr size_t kCapacity = 4096;       // the daemon's reply buffer

// A request and its reply span several HID reports or frames.
constexpr size_t kRequestLength = 150;

class TransportContract : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override
    {
        peer = GetParam().make();
        transport().setTimeout(kTimeout);
    }

    corvel::CTransport& transport() { return peer->transport(); }

    // How a transport is after a read failed while its peer stayed: a stream
    // transport closes, a device transport stays open.
    bool openAfterReadFailure() const { return !GetParam().stream; }

    // One exchange as the library makes it: open when closed, write, read.
    Bytes exchange(const Bytes& request, size_t capacity = kCapacity)
    {
        if (!transport().isOpen()) {
            transport().open();
        }
        EXPECT_EQ(transport().write(request), request.size());
        return readReply(capacity);
    }

    Bytes readReply(size_t capacity)
    {
        Bytes reply(capacity);
        reply.resize(transport().read(reply.data(), reply.size()));
        return reply;
    }

    // The next request gets its own reply, and nothing else.
    void expectInStep(uint8_t seed)
    {
        const Bytes request = pattern(kRequestLength, seed);
        EXPECT_EQ(exchange(request), reversed(request));
    }

    // Opens and sends a request the peer treats as act, to be read within
    // timeout. (The time-out of a TLS open bounds the handshake, too.)
    void sendTreatedAs(Act act, uint32_t timeout = kTimeout)
    {
        peer->script().plan({act});
        if (!transport().isOpen()) {
            transport().open();
        }
        transport().setTimeout(timeout);
        transport().write(pattern(kRequestLength, 1));
    }

    // Those of acts this peer can play.
    std::vector<Act> playable(std::initializer_list<Act> acts) const
    {
        std::vector<Act> chosen;
        for (const Act act : acts) {
            if (peer->can(act)) {
                chosen.push_back(act);
            }
        }
        return chosen;
    }

    // A read on a short time-out that the peer leaves without a whole reply.
    vexa::test::IoFailure unansweredRead()
    {
        const auto start = std::chrono::steady_clock::now();
        const vexa::test::IoFailure failure = ioFailure([this] { readReply(kCapacity); });
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kShortTimeout + 3000))
            << "the read waited well beyond its time-out";
        return failure;
    }

    std::unique_ptr<Peer> peer;
};

TEST_P(TransportContract, EachReadReturnsTheWholeReplyToItsRequest)
{
    transport().open();
    ASSERT_TRUE(transport().isOpen());
    std::vector<Bytes> sent;
    for (const size_t length : {size_t(1), size_t(57), size_t(60), size_t(500), size_t(4000)}) {
        SCOPED_TRACE(length);
        sent.push_back(pattern(length, static_cast<uint8_t>(length)));
        EXPECT_EQ(exchange(sent.back()), reversed(sent.back()));
    }
    const Bytes exact = pattern(200, 7);
    sent.push_back(exact);
    EXPECT_EQ(exchange(exact, exact.size()), reversed(exact)) << "a reply that fills the buffer is whole";
    EXPECT_EQ(peer->script().requests(), sent);
    EXPECT_EQ(peer->connections(), 1);
}

TEST_P(TransportContract, OpenWithoutAPeerIsUnreachableAndLeavesTheTransportClosed)
{
    peer->unplug();
    EXPECT_EQ(ioFailure([this] { transport().open(); }).kind, Unreachable);
    EXPECT_FALSE(transport().isOpen());
    uint8_t buffer[16];
    EXPECT_EQ(ioFailure([this] { transport().write(pattern(10)); }).kind, Closed);
    EXPECT_EQ(ioFailure([&] { transport().read(buffer, sizeof buffer); }).kind, Closed);

    peer->replug();
    transport().open();
    EXPECT_TRUE(transport().isOpen());
    expectInStep(1);
    EXPECT_EQ(peer->connections(), 1);
}

TEST_P(TransportContract, OpenOnAnOpenTransportReconnects)
{
    transport().open();
    expectInStep(1);
    transport().open();
    EXPECT_TRUE(transport().isOpen());
    expectInStep(2);
    EXPECT_EQ(peer->connections(), 2);
}

TEST_P(TransportContract, ClosedTransportRefusesWriteAndRead)
{
    uint8_t buffer[16];
    const auto expectRefused = [&] {
        EXPECT_FALSE(transport().isOpen());
        EXPECT_EQ(ioFailure([this] { transport().write(pattern(10)); }).kind, Closed);
        EXPECT_EQ(ioFailure([&] { transport().read(buffer, sizeof buffer); }).kind, Closed);
    };
    {
        SCOPED_TRACE("never opened");
        transport().close();
        expectRefused();
    }
    {
        SCOPED_TRACE("closed after use");
        transport().open();
        expectInStep(1);
        transport().close();
        transport().close();
        expectRefused();
    }
    EXPECT_EQ(peer->script().requests().size(), 1u);
    expectInStep(2);
}

TEST_P(TransportContract, RequestTooLongForTheFramingIsRefusedWithoutSendingOrClosing)
{
    transport().open();
    const size_t longest = peer->longestRequest();
    EXPECT_EQ(ioFailure([&] { transport().write(Bytes(longest + 1, 0x55)); }).kind, TooLong);
    EXPECT_TRUE(transport().isOpen());

    const Bytes request = pattern(longest, 3);
    EXPECT_EQ(exchange(request, longest), reversed(request));
    EXPECT_EQ(peer->script().requests(), std::vector<Bytes>{request}) << "nothing of the refused request went out";
}

// A caller's mistake is not a transport failure, whatever state it is in.
TEST_P(TransportContract, NullBufferWithALengthIsTheCallersMistake)
{
    const auto expectRefused = [this] {
        const bool wasOpen = transport().isOpen();
        EXPECT_THROW(transport().write(nullptr, 5), std::invalid_argument);
        EXPECT_THROW(transport().read(nullptr, 5), std::invalid_argument);
        EXPECT_EQ(transport().isOpen(), wasOpen);
    };
    {
        SCOPED_TRACE("closed");
        expectRefused();
    }
    {
        SCOPED_TRACE("open");
        transport().open();
        expectRefused();
    }
    expectInStep(1);
    EXPECT_EQ(peer->script().requests().size(), 1u);
}

TEST_P(TransportContract, ReadOfCapacityZeroReadsNothing)
{
    uint8_t buffer[1];
    EXPECT_EQ(transport().read(buffer, 0), 0u) << "closed";
    transport().open();
    const Bytes request = pattern(kRequestLength, 1);
    transport().write(request);
    EXPECT_EQ(transport().read(buffer, 0), 0u);
    EXPECT_EQ(transport().read(nullptr, 0), 0u);
    EXPECT_TRUE(transport().isOpen());
    EXPECT_EQ(readReply(kCapacity), reversed(request)) << "the reply waits for a read that takes it";
}

TEST_P(TransportContract, SilentPeerTimesOut)
{
    sendTreatedAs(Act::Silent, kShortTimeout);
    EXPECT_EQ(unansweredRead().kind, TimedOut);
    EXPECT_EQ(transport().isOpen(), openAfterReadFailure());

    transport().setTimeout(kTimeout);
    expectInStep(2);
}

// The reply to a request the reader gave up on arrives after all: it must
// not pass for the reply of the next request.
TEST_P(TransportContract, LateReplyNeverPassesForALaterOne)
{
    for (const Act act : playable({Act::Late, Act::Stalled})) {
        SCOPED_TRACE(actName(act));
        sendTreatedAs(act, kShortTimeout);
        EXPECT_EQ(unansweredRead().kind, TimedOut);
        EXPECT_EQ(transport().isOpen(), openAfterReadFailure());

        peer->releaseLate();
        transport().setTimeout(kTimeout);
        expectInStep(2);
        expectInStep(3);
    }
}

// None of a reply too long for the buffer is handed out, now or to a later read.
TEST_P(TransportContract, ReplyTooLongForTheBufferIsNeverHandedOut)
{
    transport().open();
    const Bytes request = pattern(kRequestLength, 1);
    transport().write(request);
    EXPECT_EQ(ioFailure([this] { readReply(kRequestLength - 1); }).kind, TooLong);
    EXPECT_EQ(transport().isOpen(), openAfterReadFailure());
    expectInStep(2);
}

// The device is unplugged, or the daemon stops, between two exchanges: the
// write finds out, so the caller can send the request again after opening.
TEST_P(TransportContract, PeerGoneBetweenExchangesFailsTheWriteAsClosed)
{
    transport().open();
    expectInStep(1);
    peer->unplug();
    EXPECT_EQ(ioFailure([this] { transport().write(pattern(kRequestLength, 2)); }).kind, Closed);
    EXPECT_FALSE(transport().isOpen());
    EXPECT_EQ(ioFailure([this] { transport().open(); }).kind, Unreachable);

    peer->replug();
    expectInStep(3);
    EXPECT_EQ(peer->script().requests().size(), 2u) << "the failed write sent nothing";
}

// The device goes away, or the daemon ends the connection, instead of
// answering: the read fails as Closed, whatever kind of transport it is.
TEST_P(TransportContract, PeerGoneInsteadOfAnsweringFailsTheReadAsClosed)
{
    sendTreatedAs(Act::HangUp);
    EXPECT_EQ(ioFailure([this] { readReply(kCapacity); }).kind, Closed);
    EXPECT_FALSE(transport().isOpen());
    expectInStep(2);
    EXPECT_EQ(peer->connections(), 2);
}

// Every open that reaches a device afresh is a new generation of it: the
// token may have been plugged in again and then holds none of its sessions.
// The daemon keeps its token whatever happens to one connection.
TEST_P(TransportContract, EveryDeviceOpenedIsANewGeneration)
{
    const uint64_t closed = transport().deviceGeneration();
    transport().open();
    const uint64_t first = transport().deviceGeneration();
    peer->unplug();
    EXPECT_EQ(ioFailure([this] { transport().open(); }).kind, Unreachable);
    EXPECT_EQ(transport().deviceGeneration(), first) << "an open that reaches nothing";
    peer->replug();
    transport().open();
    const uint64_t second = transport().deviceGeneration();
    transport().open();
    const uint64_t third = transport().deviceGeneration();
    if (GetParam().stream) {
        EXPECT_EQ(std::vector<uint64_t>({first, second, third}), std::vector<uint64_t>(3, closed));
    } else {
        EXPECT_NE(first, closed);
        EXPECT_NE(second, first);
        EXPECT_NE(third, second);
    }
}

// Letting go of a transport (in a child that inherited it) leaves it closed;
// the next open reaches the peer again.
TEST_P(TransportContract, AbandonedTransportIsClosedAndOpensAgain)
{
    transport().abandon();
    EXPECT_FALSE(transport().isOpen());
    transport().open();
    expectInStep(1);
    transport().abandon();
    EXPECT_FALSE(transport().isOpen());
    EXPECT_EQ(ioFailure([this] { transport().write(pattern(kRequestLength, 2)); }).kind, Closed);
    expectInStep(3);
    EXPECT_EQ(peer->connections(), 2);
}

// Only framed replies can be seen to be broken; the transport then stays as
// after any other read failure.
class FramedTransportContract : public TransportContract {};

TEST_P(FramedTransportContract, BrokenReplyIsBrokenFraming)
{
    for (const Act act : playable({Act::Garbled, Act::TokenError})) {
        SCOPED_TRACE(actName(act));
        sendTreatedAs(act);
        EXPECT_EQ(ioFailure([this] { readReply(kCapacity); }).kind, BrokenFraming);
        EXPECT_EQ(transport().isOpen(), openAfterReadFailure());
        expectInStep(2);
    }
}

// Where getting back in step asks the token for an answer, a token that
// gives none gets no request either.
class ResyncTransportContract : public TransportContract {};

TEST_P(ResyncTransportContract, WriteThatCannotGetBackInStepSendsNothing)
{
    sendTreatedAs(Act::Silent, kShortTimeout);
    EXPECT_EQ(unansweredRead().kind, TimedOut);

    peer->muteResync(true);
    EXPECT_EQ(ioFailure([this] { transport().write(pattern(kRequestLength, 2)); }).kind, TimedOut);
    EXPECT_TRUE(transport().isOpen());
    EXPECT_EQ(peer->script().requests().size(), 1u);

    peer->muteResync(false);
    transport().setTimeout(kTimeout);
    expectInStep(3);
}

const std::vector<Backend>& allBackends()
{
    static const std::vector<Backend> backends{
        {"HidReportId", [] { return makeHidPeer(false); }, false, true, false},
        {"HidU2F", [] { return makeHidPeer(true); }, false, true, true},
        {"Unix", makeUnixPeer, true, false, false},
        {"Tls", makeTlsPeer, true, false, false},
    };
    return backends;
}

std::vector<Backend> backendsWith(bool Backend::*property)
{
    std::vector<Backend> chosen;
    for (const Backend& backend : allBackends()) {
        if (backend.*property) {
            chosen.push_back(backend);
        }
    }
    return chosen;
}

std::string backendName(const ::testing::TestParamInfo<Backend>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(All, TransportContract, ::testing::ValuesIn(allBackends()), backendName);
INSTANTIATE_TEST_SUITE_P(Framed, FramedTransportContract, ::testing::ValuesIn(backendsWith(&Backend::framedReplies)),
                         backendName);
INSTANTIATE_TEST_SUITE_P(Resync, ResyncTransportContract,
                         ::testing::ValuesIn(backendsWith(&Backend::resyncAsksTheToken)), backendName);

}  // namespace
}  // namespace contract
