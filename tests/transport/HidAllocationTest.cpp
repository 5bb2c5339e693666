// An exchange allocates nothing in the transport: the reply is assembled in
// the caller's buffer.
#include <new>

#include "AllocationCounter.h"
#include "HidTestSupport.h"

namespace hidtest {
namespace {

class SteadyStateTest : public HidTest, public ::testing::WithParamInterface<bool> {
protected:
    size_t allocationsOfOneExchange(const Bytes& request, const std::vector<Bytes>& reply, Bytes& buffer)
    {
        // The reply comes once the request has gone out, as from a token.
        fake().onWrite = [reply](const Bytes&) {
            queueInputs(reply);
            fakehid::state().onWrite = nullptr;
        };
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
    // A direct call, which the compiler may not leave out as it may a new-expression.
    allocation::startCounting();
    ::operator delete(::operator new(16));
    ASSERT_EQ(allocation::stopCounting(), 1u) << "the counter must see an allocation";

    const bool u2f = GetParam();
    u2f ? openU2F() : openReportId();
    const Bytes message = pattern(4096);
    const std::vector<Bytes> reply = u2f ? u2fFrames(kChannel, 0xC0, message) : reportIdReports(0x02, message);
    Bytes buffer(4096);
    EXPECT_EQ(allocationsOfOneExchange(message, reply, buffer), 0u);
    EXPECT_EQ(buffer, message);
    EXPECT_EQ(allocationsOfOneExchange(message, reply, buffer), 0u);
}

INSTANTIATE_TEST_SUITE_P(Framings, SteadyStateTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "U2FHID" : "ReportId"; });

}  // namespace
}  // namespace hidtest
