#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "EchoTransport.h"
#include "USBPort.h"

namespace vexa::daemon {
namespace {

using test::EchoTransport;

struct FakePort {
    FakePort()
    {
        auto owned = std::make_unique<EchoTransport>();
        fake = owned.get();
        port = std::make_unique<CThreadSafeUSBPort>("0123456789AB", std::move(owned));
    }
    EchoTransport* fake;
    std::unique_ptr<CThreadSafeUSBPort> port;
    // Requests that the broker cannot read are passed on whoever sends them.
    CPortClient client{"test client"};
};

TEST(ThreadSafeUSBPort, ExchangeReplacesRequestWithReply)
{
    FakePort p;
    uint8_t buffer[kMaxMessage] = {1, 2, 3};
    uint32_t replyLength = 0;
    ASSERT_TRUE(p.port->exchange(p.client, buffer, 3, replyLength));
    EXPECT_EQ(replyLength, 3u);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 3), (std::vector<uint8_t>{3, 2, 1}));
    EXPECT_TRUE(p.port->usable());
}

TEST(ThreadSafeUSBPort, TokenTimeoutIsAnEmptyReply)
{
    FakePort p;
    uint8_t buffer[kMaxMessage];
    uint32_t replyLength = 99;
    ASSERT_TRUE(p.port->exchange(p.client, buffer, 0, replyLength));
    EXPECT_EQ(replyLength, 0u);
    EXPECT_EQ(p.fake->requests().size(), 1u);
}

TEST(ThreadSafeUSBPort, FailedWriteMakesPortUnusableForGood)
{
    FakePort p;
    p.fake->failWrite = true;
    uint8_t buffer[kMaxMessage] = {1};
    uint32_t replyLength = 0;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(p.port->exchange(p.client, buffer, 1, replyLength));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Error writing to port device gone\n"), std::string::npos);
    EXPECT_NE(err.find("ERROR : Failed to send USB cmd to 0123456789AB.\n"), std::string::npos);
    EXPECT_FALSE(p.port->usable());

    // The token works again, but a replaced port stays out of service.
    p.fake->failWrite = false;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(p.port->exchange(p.client, buffer, 1, replyLength));
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(p.fake->requests().empty());
}

// The token is there but did not answer before anything was sent: this
// exchange fails, the port stays in service.
TEST(ThreadSafeUSBPort, SilentTokenBeforeTheWriteKeepsPortUsable)
{
    FakePort p;
    p.fake->writeTimesOut = true;
    uint8_t buffer[kMaxMessage] = {1};
    uint32_t replyLength = 0;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(p.port->exchange(p.client, buffer, 1, replyLength));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("ERROR : Failed to send USB cmd to 0123456789AB.\n"), std::string::npos) << err;
    EXPECT_TRUE(p.port->usable());
    p.fake->writeTimesOut = false;
    EXPECT_TRUE(p.port->exchange(p.client, buffer, 1, replyLength));
    EXPECT_EQ(replyLength, 1u);
}

TEST(ThreadSafeUSBPort, FailedReadKeepsPortUsable)
{
    FakePort p;
    p.fake->failRead = true;
    uint8_t buffer[kMaxMessage] = {1};
    uint32_t replyLength = 0;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(p.port->exchange(p.client, buffer, 1, replyLength));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error reading from portread broke\n");
    EXPECT_EQ(replyLength, 0u);
    EXPECT_TRUE(p.port->usable());
}

TEST(ThreadSafeUSBPort, MissingTransportMakesPortUnusable)
{
    CThreadSafeUSBPort port("X");
    uint8_t buffer[kMaxMessage];
    uint32_t replyLength = 0;
    testing::internal::CaptureStderr();
    CPortClient client("test client");
    EXPECT_FALSE(port.exchange(client, buffer, 0, replyLength));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("ERROR : USB port is NULL.\n"), std::string::npos);
    EXPECT_FALSE(port.usable());
}

TEST(ThreadSafeUSBPort, ConcurrentExchangesNeverInterleave)
{
    FakePort p;
    constexpr int kThreads = 8;
    constexpr int kRequests = 20;
    std::atomic<int> wrongReplies{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRequests; ++i) {
                uint8_t buffer[kMaxMessage] = {static_cast<uint8_t>(t), static_cast<uint8_t>(i), 0xFF};
                uint32_t replyLength = 0;
                const bool ok = p.port->exchange(p.client, buffer, 3, replyLength);
                if (!ok || replyLength != 3 || buffer[0] != 0xFF || buffer[1] != i || buffer[2] != t) {
                    ++wrongReplies;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrongReplies, 0);
    EXPECT_EQ(p.fake->overlaps, 0);
}

// Behind a token that takes its time, a client may give up while its request
// waits for the port; once the port is free the request is not sent.
TEST(ThreadSafeUSBPort, RequestNoLongerWantedWhenItsTurnComesIsDropped)
{
    FakePort p;
    std::mutex gate;
    std::unique_lock<std::mutex> held(gate);
    p.fake->beforeReply = [&gate] { std::lock_guard<std::mutex> passed(gate); };
    std::thread first([&] {
        uint8_t buffer[kMaxMessage] = {1};
        uint32_t replyLength = 0;
        EXPECT_TRUE(p.port->exchange(p.client, buffer, 1, replyLength));
    });
    for (int i = 0; i < 500 && p.fake->requests().empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(p.fake->requests().size(), 1u);

    std::atomic<bool> wanted{true};
    std::atomic<int> asked{0};
    auto outcome = CThreadSafeUSBPort::Outcome::Replied;
    std::thread second([&] {
        uint8_t buffer[kMaxMessage] = {2};
        uint32_t replyLength = 0;
        outcome = p.port->exchange(p.client, buffer, 1, replyLength, [&] {
            ++asked;
            return wanted.load();
        });
    });
    wanted = false;  // the client leaves while the token works on the first request
    held.unlock();
    first.join();
    second.join();
    EXPECT_EQ(outcome, CThreadSafeUSBPort::Outcome::Dropped);
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(p.fake->requests(), (std::vector<std::vector<uint8_t>>{{1}}));
    EXPECT_TRUE(p.port->usable());
}

TEST(ThreadSafeUSBPort, DestroyClosesTransport)
{
    FakePort p;
    const auto closes = std::make_shared<std::atomic<int>>(0);
    p.fake->closeCounter = closes;
    DestroyPort(p.port.release());
    EXPECT_EQ(*closes, 1);
    DestroyPort(nullptr);
}

TEST(USBPortOperations, NullTransportFailsQuietly)
{
    uint8_t buffer[4] = {};
    uint32_t length = 4;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(WriteUSBPort(nullptr, buffer, 4));
    EXPECT_FALSE(ReadUSBPort(nullptr, buffer, length));
    CloseUSBPort(nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(length, 4u);
}

// A token that does not answer in time is not a broken port: the reply is
// empty and nothing is reported, so the client's connection waits on.
TEST(USBPortOperations, ReadTimeOutIsAnEmptyReplyWithoutAMessage)
{
    struct SilentToken : test::EchoTransport {
        size_t read(uint8_t*, size_t) override
        {
            throw corvel::IOException(corvel::TransportFailure::TimedOut, "No HID reply within the time-out");
        }
    } token;
    uint8_t buffer[4] = {};
    uint32_t length = 4;
    testing::internal::CaptureStderr();
    EXPECT_TRUE(ReadUSBPort(&token, buffer, length));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(length, 0u);
}

TEST(USBPortOperations, OpenWithoutTokenReportsAndReturnsNull)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(OpenUSBPort(kTokenVendorId, kTokenProductId, 1000, nullptr, "NO-SUCH-TOKEN"), nullptr);
    EXPECT_EQ(createPort("NO-SUCH-TOKEN", 1000), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error opening port: Device not detected\nError opening port: Device not detected\n");
}

}  // namespace
}  // namespace vexa::daemon
