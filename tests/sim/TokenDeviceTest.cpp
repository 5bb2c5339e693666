// A token device with its threads, without umockdev: what the host gets while
// the firmware is still working on a request.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "TokenDevice.h"

namespace vexa::sim {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

constexpr auto kWait = 10s;  // bound of every wait; the test never needs it

// Echoes each request reversed, but only once the test lets it.
class HeldFirmware : public IFirmware {
public:
    bool handle(const std::vector<uint8_t>& request, std::vector<uint8_t>& reply) override
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        ++m_entered;
        m_changed.notify_all();
        m_changed.wait_for(lock, kWait, [this] { return m_released > 0; });
        --m_released;
        reply.assign(request.rbegin(), request.rend());
        return true;
    }
    bool waitEntered(int count)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, kWait, [&] { return m_entered >= count; });
    }
    void release()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_released;
        m_changed.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_entered = 0;
    int m_released = 0;
};

// The input reports the token sent, in order.
class Host {
public:
    void deliver(const Report& report)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_reports.push_back(report);
        m_arrived.notify_all();
    }
    Report next()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_arrived.wait_for(lock, kWait, [this] { return !m_reports.empty(); })) {
            ADD_FAILURE() << "no report from the token";
            return Report(64, 0);
        }
        Report report = m_reports.front();
        m_reports.pop_front();
        return report;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::deque<Report> m_reports;
};

Bytes u2fFrame(uint32_t channel, uint8_t command, const Bytes& data)
{
    Bytes frame(64, 0xEE);
    for (int i = 0; i < 4; ++i) {
        frame[i] = uint8_t(channel >> (24 - 8 * i));
    }
    frame[4] = command;
    frame[5] = 0;
    frame[6] = uint8_t(data.size());
    std::copy(data.begin(), data.end(), frame.begin() + 7);
    return frame;
}

uint32_t channelOf(const Report& frame)
{
    return uint32_t(frame[0]) << 24 | uint32_t(frame[1]) << 16 | uint32_t(frame[2]) << 8 | frame[3];
}

class TokenDeviceTest : public ::testing::Test {
protected:
    void start(Framing framing)
    {
        TokenDescription description;
        description.serial = "00000000000A";
        description.framing = framing;
        auto firmware = std::make_unique<HeldFirmware>();
        m_firmware = firmware.get();
        m_token = std::make_unique<CTokenDevice>(
            description, std::move(firmware), m_faults, nullptr, false,
            [this](const Report& report) { m_host.deliver(report); },
            [this](bool working) {
                std::lock_guard<std::mutex> lock(m_doneMutex);
                m_done += working ? 0 : 1;
                m_doneChanged.notify_all();
            });
    }
    // Until the token has finished with this many requests.
    bool waitDone(int count)
    {
        std::unique_lock<std::mutex> lock(m_doneMutex);
        return m_doneChanged.wait_for(lock, kWait, [&] { return m_done >= count; });
    }
    uint32_t openChannel()
    {
        m_token->receive(u2fFrame(0xFFFFFFFF, 0x86, {1, 2, 3, 4, 5, 6, 7, 8}), nullptr);
        const Report init = m_host.next();
        return uint32_t(init[15]) << 24 | uint32_t(init[16]) << 16 | uint32_t(init[17]) << 8 | init[18];
    }
    void TearDown() override
    {
        if (m_firmware) {
            for (int i = 0; i < 4; ++i) {
                m_firmware->release();  // whatever is still held
            }
        }
        m_token.reset();
    }

    CTokenFaults m_faults;
    Host m_host;
    std::mutex m_doneMutex;
    std::condition_variable m_doneChanged;
    int m_done = 0;
    HeldFirmware* m_firmware = nullptr;
    std::unique_ptr<CTokenDevice> m_token;
};

TEST_F(TokenDeviceTest, U2fRequestWhileTheFirmwareWorksIsToldTheChannelIsBusy)
{
    start(Framing::U2f);
    const uint32_t a = openChannel();
    const uint32_t b = openChannel();
    m_token->receive(u2fFrame(a, 0xC0, {1, 2, 3}), nullptr);
    ASSERT_TRUE(m_firmware->waitEntered(1));

    // The token still takes output reports: INIT and a second request are
    // answered at once, the request with ERR_CHANNEL_BUSY on its channel.
    EXPECT_NE(openChannel(), 0u);
    m_token->receive(u2fFrame(b, 0xC0, {9}), nullptr);
    const Report busy = m_host.next();
    EXPECT_EQ(channelOf(busy), b);
    EXPECT_EQ(Bytes(busy.begin() + 4, busy.begin() + 8), (Bytes{0xBF, 0, 1, 0x06}));

    m_firmware->release();
    const Report reply = m_host.next();
    EXPECT_EQ(channelOf(reply), a);
    EXPECT_EQ(Bytes(reply.begin() + 4, reply.begin() + 10), (Bytes{0xC0, 0, 3, 3, 2, 1}));

    // The transaction is over: b's retry goes through.
    m_token->receive(u2fFrame(b, 0xC0, {9}), nullptr);
    m_firmware->release();
    const Report retried = m_host.next();
    EXPECT_EQ(channelOf(retried), b);
    EXPECT_EQ(Bytes(retried.begin() + 4, retried.begin() + 8), (Bytes{0xC0, 0, 1, 9}));
}

// A stalled token swallows the request; that ends its transaction, so once
// the stall is over other channels are served, not told the token is busy.
TEST_F(TokenDeviceTest, StalledRequestDoesNotKeepTheTokenBusy)
{
    start(Framing::U2f);
    const uint32_t a = openChannel();
    const uint32_t b = openChannel();
    m_faults.setStall(true);
    m_token->receive(u2fFrame(a, 0xC0, {1}), nullptr);
    ASSERT_TRUE(waitDone(1));
    m_faults.setStall(false);
    m_token->receive(u2fFrame(b, 0xC0, {2}), nullptr);
    m_firmware->release();
    const Report reply = m_host.next();
    EXPECT_EQ(channelOf(reply), b);
    EXPECT_EQ(Bytes(reply.begin() + 4, reply.begin() + 8), (Bytes{0xC0, 0, 1, 2}));
}

// Nothing more arrives after the first frame of a long request: the token
// gives it up by its own clock, tells the channel, and serves another.
TEST_F(TokenDeviceTest, U2fRequestLeftUnfinishedIsGivenUpWithoutAnyFurtherReport)
{
    start(Framing::U2f);
    const uint32_t a = openChannel();
    const uint32_t b = openChannel();
    Bytes first = u2fFrame(a, 0xC0, Bytes(57, 7));
    first[5] = 1;  // 256 bytes announced, 57 sent
    const auto sent = FramingClock::now();
    m_token->receive(first, nullptr);
    const Report timeout = m_host.next();
    EXPECT_GE(FramingClock::now() - sent, kFrameTimeout);
    EXPECT_EQ(channelOf(timeout), a);
    EXPECT_EQ(Bytes(timeout.begin() + 4, timeout.begin() + 8), (Bytes{0xBF, 0, 1, 0x05}));

    m_token->receive(u2fFrame(b, 0xC0, {9}), nullptr);
    m_firmware->release();
    const Report reply = m_host.next();
    EXPECT_EQ(channelOf(reply), b);
    EXPECT_EQ(Bytes(reply.begin() + 4, reply.begin() + 8), (Bytes{0xC0, 0, 1, 9}));
}

TEST_F(TokenDeviceTest, ReportIdRequestsWaitTheirTurn)
{
    start(Framing::ReportId);
    for (uint8_t n : {1, 2}) {
        Bytes report(64, 0);
        report[0] = 0x01;
        report[2] = 1;
        report[5] = n;
        m_token->receive(report, nullptr);
    }
    ASSERT_TRUE(m_firmware->waitEntered(1));
    m_firmware->release();
    m_firmware->release();
    for (uint8_t n : {1, 2}) {
        const Report reply = m_host.next();
        EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 6), (Bytes{0x02, 0x00, 1, 0, 0, n}));
    }
}

}  // namespace
}  // namespace vexa::sim
