// Once warmed up, an exchange allocates nothing in the transport.
#include "AllocationCounter.h"
#include "HidTestSupport.h"

namespace hidtest {
namespace {

class SteadyStateTest : public HidTest, public ::testing::WithParamInterface<bool> {
protected:
    size_t allocationsOfOneExchange(const Bytes& request, const std::vector<Bytes>& reply, Bytes& buffer)
    {
        queueInputs(reply);
        allocation::startCounting();
        transport.write(request);
        const size_t received = transport.read(buffer.data(), buffer.size());
        const size_t allocations = allocation::stopCounting();
        EXPECT_EQ(received, 4096u);
        return allocations;
    }
};

TEST_P(SteadyStateTest, ExchangeAllocatesNothing)
{
    const bool u2f = GetParam();
    u2f ? openU2F() : openReportId();
    const Bytes message = pattern(4096);
    const std::vector<Bytes> reply = u2f ? u2fFrames(kChannel, 0xC0, message) : reportIdReports(0x02, message);
    Bytes buffer(4096);
    // The first exchange grows the receive queue, which also shows the counter works.
    EXPECT_GT(allocationsOfOneExchange(message, reply, buffer), 0u);
    EXPECT_EQ(allocationsOfOneExchange(message, reply, buffer), 0u);
    EXPECT_EQ(buffer, message);
}

INSTANTIATE_TEST_SUITE_P(Framings, SteadyStateTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "U2FHID" : "ReportId"; });

}  // namespace
}  // namespace hidtest
