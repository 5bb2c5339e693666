// corvel::CHIDTransport against vexa-token-sim with the echo firmware. Runs
// under vexa-token-sim with the tokens of kTokens in CMakeLists.txt:
//   00000000000C  Varkon, u2f          00000000000A  Vexa, u2f
//   00000000000B  Vexa, reportid       00000000000D  Vexa, u2f, made by "otherWorks"
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "CHIDTransport.h"
#include "Exception.h"
#include "TokenSimulator.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using corvel::CHIDTransport;

constexpr uint16_t kVendorId = 0x0483;
constexpr uint16_t kProductId = 0xA2AC;
const std::string kU2f = "00000000000A";
const std::string kReportId = "00000000000B";
const std::string kVarkon = "00000000000C";
const std::string kOtherMaker = "00000000000D";

class RecordingLog : public corvel::ILogTarget {
public:
    void logText(int32_t, const std::string& text) override { lines.push_back(text); }
    bool has(const std::string& text) const
    {
        for (const std::string& line : lines) {
            if (line == text) {
                return true;
            }
        }
        return false;
    }
    std::vector<std::string> lines;
};

Bytes pattern(size_t size)
{
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = uint8_t(i * 7 + 1);
    }
    return bytes;
}

Bytes reversed(const Bytes& bytes) { return Bytes(bytes.rbegin(), bytes.rend()); }

long millisecondsSince(Clock::time_point start)
{
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

void control(const std::string& line) { ASSERT_EQ(vexa::test::controlFromInside(line), "ok") << line; }

class HidTransportSim : public ::testing::Test {
protected:
    CHIDTransport& open(const std::string& serial, uint32_t timeout = 2000)
    {
        transport.setVendorProductId(kVendorId, kProductId);
        transport.setSerialNumber(serial.c_str());
        transport.logTarget = &log;
        transport.open();
        transport.setTimeout(timeout);
        return transport;
    }
    Bytes readReply(size_t capacity = 4096)
    {
        Bytes reply(capacity);
        reply.resize(transport.read(reply.data(), reply.size()));
        return reply;
    }
    Bytes exchange(const Bytes& request, size_t capacity = 4096)
    {
        EXPECT_EQ(transport.write(request), request.size());
        return readReply(capacity);
    }
    // The kind of failure an exchange ends in; a test failure when it ends well.
    corvel::TransportFailure failedExchange(const Bytes& request, size_t capacity = 4096)
    {
        try {
            exchange(request, capacity);
        } catch (const corvel::IOException& error) {
            return error.failure();
        }
        ADD_FAILURE() << "the exchange succeeded";
        return corvel::TransportFailure::Closed;
    }

    CHIDTransport transport;
    RecordingLog log;
};

TEST_F(HidTransportSim, OpensU2fTokenWithChannelAtOnce)
{
    open(kU2f);
    // A channel was granted, so the INIT wait ended with the reply, not by timing out.
    EXPECT_TRUE(transport.usesU2F());
    EXPECT_TRUE(log.has("u2f transport detected"));
    EXPECT_EQ(transport.getProduct(), "Vexa");
}

TEST_F(HidTransportSim, ReportIdTokenCostsOneInitWaitAndStillOpens)
{
    const auto start = Clock::now();
    open(kReportId);
    const long elapsed = millisecondsSince(start);
    EXPECT_FALSE(transport.usesU2F());
    EXPECT_TRUE(transport.isOpen());
    // The INIT wait runs out once; how much longer a loaded machine takes is
    // not the transport's doing (the fake-hidapi tests count the waits).
    EXPECT_GE(elapsed, 240);
    EXPECT_EQ(exchange({1, 2, 3}), (Bytes{3, 2, 1}));
}

// Sizes around the frame limits of both framings: 57/58 and 116/117 (U2FHID
// initialisation and continuation frames), 59/60 and 121/122 (report-id
// first and continuation reports), up to the largest request.
TEST_F(HidTransportSim, MessagesCrossFrameBoundariesIntactInBothFramings)
{
    const size_t sizes[] = {1, 56, 57, 58, 59, 60, 61, 115, 116, 117, 118, 120, 121, 122, 123, 1000, 4096};
    for (const std::string& serial : {kU2f, kReportId}) {
        open(serial);
        for (size_t size : sizes) {
            SCOPED_TRACE(serial + " size " + std::to_string(size));
            const Bytes request = pattern(size);
            EXPECT_EQ(exchange(request), reversed(request));
        }
    }
}

// None of a reply too long for the buffer is handed out, now or later: the
// next reply comes out intact.
TEST_F(HidTransportSim, ReplyLongerThanBufferIsTooLongInBothFramingsAndNextReplyIsIntact)
{
    for (const std::string& serial : {kU2f, kReportId}) {
        SCOPED_TRACE(serial);
        open(serial, 200);
        EXPECT_EQ(failedExchange(pattern(100), 60), corvel::TransportFailure::TooLong);
        EXPECT_EQ(failedExchange(pattern(200), 60), corvel::TransportFailure::TooLong);
        EXPECT_EQ(exchange({4, 5, 6}), (Bytes{6, 5, 4}));
    }
}

TEST_F(HidTransportSim, StalledTokenMakesReadTimeOutInBothFramings)
{
    for (const std::string& serial : {kU2f, kReportId}) {
        SCOPED_TRACE(serial);
        open(serial, 200);
        control("stall " + serial + " on");
        const auto start = Clock::now();
        EXPECT_EQ(failedExchange({1, 2}), corvel::TransportFailure::TimedOut);
        EXPECT_GE(millisecondsSince(start), 190);
        control("stall " + serial + " off");
        EXPECT_EQ(exchange({1, 2}), (Bytes{2, 1}));
    }
}

TEST_F(HidTransportSim, ErrorFrameEndsReadAtOnce)
{
    open(kU2f, 5000);
    control("error " + kU2f + " 7");
    const auto start = Clock::now();
    EXPECT_EQ(failedExchange({1, 2, 3}), corvel::TransportFailure::BrokenFraming);
    EXPECT_LT(millisecondsSince(start), 2000);
    EXPECT_TRUE(log.has("hid transport received error -7"));
    EXPECT_EQ(exchange({1, 2, 3}), (Bytes{3, 2, 1}));
}

// ERR_CHANNEL_BUSY: the token did nothing with the request, which goes again.
TEST_F(HidTransportSim, BusyChannelGetsTheRequestAgain)
{
    open(kU2f, 5000);
    control("error " + kU2f + " 6");
    EXPECT_EQ(exchange({1, 2, 3}), (Bytes{3, 2, 1}));
    EXPECT_TRUE(log.has("u2f channel busy: request sent again"));
}

TEST_F(HidTransportSim, GarbledU2fReplyIsRejectedAndNextReplyIsIntact)
{
    for (size_t size : {size_t(3), size_t(200)}) {
        SCOPED_TRACE(size);
        open(kU2f, 300);
        control("garble " + kU2f);
        EXPECT_EQ(failedExchange(pattern(size)), corvel::TransportFailure::BrokenFraming);
        EXPECT_TRUE(log.has("hid transport received error -4"));
        EXPECT_EQ(exchange({7, 8}), (Bytes{8, 7}));
    }
}

TEST_F(HidTransportSim, GarbledReportIdReplyThrowsOutOfOrder)
{
    open(kReportId, 300);
    control("garble " + kReportId);
    ASSERT_EQ(transport.write(pattern(10)), 10u);
    try {
        readReply();
        ADD_FAILURE() << "no exception";
    } catch (const corvel::IOException& e) {
        EXPECT_STREQ(e.what(), "Invalid HID packet received (out of order)");
    }
    EXPECT_EQ(exchange({7, 8}), (Bytes{8, 7}));
}

TEST_F(HidTransportSim, UnplugMakesWriteThrowAndReplugOpensAgain)
{
    for (const std::string& serial : {kU2f, kReportId}) {
        SCOPED_TRACE(serial);
        open(serial);
        control("unplug " + serial);
        EXPECT_THROW(transport.write(Bytes{1}), corvel::IOException);
        EXPECT_THROW(transport.open(), corvel::IOException);
        control("plug " + serial);
        open(serial);
        EXPECT_EQ(exchange({1, 2}), (Bytes{2, 1}));
    }
}

std::vector<std::string> listed(uint16_t vendorId, uint16_t productId)
{
    const auto serials = CHIDTransport::listSerialNumbers(vendorId, productId);
    EXPECT_TRUE(serials.has_value());
    return serials.value_or(std::vector<std::string>{});
}

TEST(HidTransportSimList, SerialNumbersAreSortedUniqueAndManufacturerCheckedForVendorZero)
{
    // Each token is enumerated twice (two top-level usages).
    EXPECT_EQ(listed(kVendorId, kProductId), (std::vector<std::string>{kU2f, kReportId, kVarkon, kOtherMaker}));
    EXPECT_EQ(listed(0, 0), (std::vector<std::string>{kU2f, kReportId, kVarkon}));
    control("unplug " + kReportId);
    EXPECT_EQ(listed(kVendorId, kProductId), (std::vector<std::string>{kU2f, kVarkon, kOtherMaker}));
}

TEST(HidTransportSimFilters, SelectExactlyTheMatchingToken)
{
    const struct {
        const char* name;
        uint16_t vendorId;
        std::string serial;
        std::string product;
        uint16_t usagePage;
        const char* opensProduct;  // null: "Device not detected"
    } cases[] = {
        {"serial", kVendorId, kU2f, "", 0, "Vexa"},
        {"serial prefix does not match", kVendorId, "00000000000", "", 0, nullptr},
        {"product alone", kVendorId, "", "Varkon", 0, "Varkon"},
        {"product and serial must both match", kVendorId, kU2f, "Varkon", 0, nullptr},
        {"product and serial", kVendorId, kVarkon, "Varkon", 0, "Varkon"},
        {"usage page of the data collection", kVendorId, kU2f, "", 0xF1D0, "Vexa"},
        {"usage page of the second collection", kVendorId, kReportId, "", 0xFF01, "Vexa"},
        {"usage page the token lacks", kVendorId, kReportId, "", 0xF1D0, nullptr},
        {"vendor 0 finds tokens by manufacturer", 0, kU2f, "", 0, "Vexa"},
        {"vendor 0 skips other manufacturers", 0, kOtherMaker, "", 0, nullptr},
        {"vendor 0 without filters takes nothing", 0, "", "", 0, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CHIDTransport t;
        t.setVendorProductId(c.vendorId, c.vendorId ? kProductId : 0);
        if (!c.serial.empty()) {
            t.setSerialNumber(c.serial.c_str());
        }
        if (!c.product.empty()) {
            t.setProduct(c.product.c_str());
        }
        t.setUsagePage(c.usagePage);
        if (!c.opensProduct) {
            try {
                t.open();
                ADD_FAILURE() << "opened";
            } catch (const corvel::IOException& e) {
                EXPECT_STREQ(e.what(), "Device not detected");
            }
            continue;
        }
        EXPECT_NO_THROW(t.open());
        EXPECT_EQ(t.getProduct(), c.opensProduct);
        t.setTimeout(2000);
        ASSERT_EQ(t.write(Bytes{1, 2}), 2u);
        Bytes reply(16);
        reply.resize(t.read(reply.data(), reply.size()));
        EXPECT_EQ(reply, (Bytes{2, 1}));
    }
}

}  // namespace
