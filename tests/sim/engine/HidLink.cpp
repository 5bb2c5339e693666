#include "HidLink.h"

namespace vexa::test::engine {
namespace {

constexpr uint16_t kVendorId = 0x0483;
constexpr uint16_t kProductId = 0xA2AC;
// Key generation on a loaded machine may take a while; each report waits this long.
constexpr uint32_t kTimeoutMs = 20000;

}  // namespace

HidLink::HidLink(const std::string& serial) {
    transport_.setVendorProductId(kVendorId, kProductId);
    transport_.setSerialNumber(serial.c_str());
    u2f_ = transport_.open() == 0;
    transport_.setTimeout(kTimeoutMs);
}

Bytes HidLink::exchange(const Bytes& request) {
    transport_.write(request);
    // Larger than any reply may be, so an oversized one would show.
    Bytes reply(4096);
    reply.resize(transport_.read(reply.data(), reply.size()));
    return reply;
}

}  // namespace vexa::test::engine
