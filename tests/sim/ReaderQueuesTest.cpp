// Per-handle input queues of a simulated hidraw device, with time passed in:
// what each reader gets, what a reader that falls behind loses, and how long
// the token waits for it.
#include <gtest/gtest.h>

#include <functional>

#include "ReaderQueues.h"

namespace vexa::sim {
namespace {

using namespace std::chrono_literals;
using Clock = CReaderQueues::Clock;

constexpr auto kPatience = 1000ms;

Report numbered(unsigned n) { return Report{uint8_t(n), uint8_t(n >> 8)}; }

unsigned numberOf(const Report& report) { return report[0] | unsigned(report[1]) << 8; }

// Stands in for the token: before each report it waits as long as the
// queues ask (time only moves on paper, in steps of at most `step`, after
// each of which `whileHeld` may read) and counts how long that was.
class Token {
public:
    explicit Token(CReaderQueues& queues) : m_queues(queues) {}

    size_t send(unsigned n)
    {
        while (auto until = m_queues.holdUntil(m_now)) {
            const Clock::duration wait = std::min<Clock::duration>(*until - m_now, step);
            waited += wait;
            m_now += wait;
            if (whileHeld) {
                whileHeld();
            }
        }
        return m_queues.push(numbered(n));
    }
    void pass(Clock::duration time) { m_now += time; }

    Clock::duration step = kPatience;
    std::function<void()> whileHeld;
    Clock::duration waited{};

private:
    CReaderQueues& m_queues;
    Clock::time_point m_now{};
};

std::vector<unsigned> drain(CReaderQueues& queues, CReaderQueues::Id id)
{
    std::vector<unsigned> got;
    while (auto report = queues.take(id)) {
        got.push_back(numberOf(*report));
    }
    return got;
}

std::vector<unsigned> range(unsigned from, unsigned to)
{
    std::vector<unsigned> numbers;
    for (unsigned n = from; n < to; ++n) {
        numbers.push_back(n);
    }
    return numbers;
}

// A fast reader takes each report as it comes; a slow one reads nothing
// until the end. The fast one loses nothing. The slow one keeps the 63
// reports that fit its ring and loses every later one (the kernel keeps the
// older reports of a full ring); the token waited for it once, for the
// patience, and never again.
TEST(ReaderQueues, SlowReaderLosesOnlyWhatItsRingCannotHoldAndDelaysTheTokenOnce)
{
    CReaderQueues queues(kPatience);
    const CReaderQueues::Id fast = queues.add();
    const CReaderQueues::Id slow = queues.add();
    Token token(queues);
    std::vector<unsigned> fastGot;
    size_t lost = 0;
    for (unsigned n = 0; n < 200; ++n) {
        lost += token.send(n);
        const auto got = drain(queues, fast);
        fastGot.insert(fastGot.end(), got.begin(), got.end());
        token.pass(1ms);
    }
    EXPECT_EQ(fastGot, range(0, 200));
    EXPECT_EQ(drain(queues, slow), range(0, CReaderQueues::kCapacity));
    EXPECT_EQ(lost, 200 - CReaderQueues::kCapacity);
    EXPECT_EQ(token.waited, kPatience);
}

// The lost report of a large exchange: the reader last read long ago (it
// was idle between exchanges), then the token's reply outruns it. It is
// still reading, so it gets every report, however stale its last read was.
TEST(ReaderQueues, ReaderThatReadsAfterALongPauseLosesNothing)
{
    CReaderQueues queues(kPatience);
    const CReaderQueues::Id reader = queues.add();
    Token token(queues);
    token.send(0);
    ASSERT_EQ(drain(queues, reader), range(0, 1));
    token.pass(10s);
    // The token outruns the reader: a full ring makes it wait, and the
    // reader takes one report well within the patience.
    std::vector<unsigned> got;
    token.step = 20ms;
    token.whileHeld = [&] { got.push_back(numberOf(*queues.take(reader))); };
    for (unsigned n = 1; n <= 70; ++n) {
        EXPECT_EQ(token.send(n), 0u);
    }
    const auto rest = drain(queues, reader);
    got.insert(got.end(), rest.begin(), rest.end());
    EXPECT_EQ(got, range(1, 71));
}

// A reader that stopped keeps its old reports, and the token no longer waits
// for it; once it reads again it is waited for again.
TEST(ReaderQueues, StoppedReaderIsWaitedForAgainOnceItReads)
{
    CReaderQueues queues(kPatience);
    const CReaderQueues::Id reader = queues.add();
    Token token(queues);
    for (unsigned n = 0; n < 100; ++n) {
        token.send(n);
    }
    EXPECT_EQ(token.waited, kPatience);
    EXPECT_EQ(numberOf(*queues.take(reader)), 0u);
    token.send(100);  // the slot it freed
    token.send(101);  // full again: it reads, so it may read on
    EXPECT_EQ(token.waited, 2 * kPatience);
    std::vector<unsigned> expected = range(1, CReaderQueues::kCapacity);
    expected.push_back(100);
    EXPECT_EQ(drain(queues, reader), expected);
}

TEST(ReaderQueues, NewHandleSeesOnlyLaterReportsAndRemovedOneHoldsNothingBack)
{
    CReaderQueues queues(kPatience);
    const CReaderQueues::Id first = queues.add();
    Token token(queues);
    token.send(1);
    const CReaderQueues::Id second = queues.add();
    token.send(2);
    EXPECT_EQ(drain(queues, first), (std::vector<unsigned>{1, 2}));
    EXPECT_EQ(drain(queues, second), (std::vector<unsigned>{2}));

    for (unsigned n = 0; n < CReaderQueues::kCapacity; ++n) {
        token.send(n);
    }
    queues.remove(first);
    EXPECT_FALSE(queues.contains(first));
    EXPECT_EQ(queues.size(first), 0u);
    EXPECT_FALSE(queues.take(first));
    drain(queues, second);
    token.send(99);
    EXPECT_EQ(token.waited, Clock::duration{});
    EXPECT_EQ(drain(queues, second), (std::vector<unsigned>{99}));
}

}  // namespace
}  // namespace vexa::sim
