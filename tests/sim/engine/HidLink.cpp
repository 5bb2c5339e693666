#include "HidLink.h"

namespace vexa::test::engine {
namespace {

constexpr uint16_t kVendorId = 0x0483;
constexpr uint16_t kProductId = 0xA2AC;
// Key generation on a loaded machine may take a while; each report waits this long.
constexpr uint32_t kTimeoutMs = 20000;

}  // namespace

HidLink::HidLink(const std::string& serial)
{
    m_transport.setVendorProductId(kVendorId, kProductId);
    m_transport.setSerialNumber(serial.c_str());
    m_transport.open();
    m_u2f = m_transport.usesU2F();
    m_transport.setTimeout(kTimeoutMs);
}

Bytes HidLink::exchange(const Bytes& request)
{
    m_transport.write(request);
    // Larger than any reply may be, so an oversized one would show.
    Bytes reply(4096);
    reply.resize(m_transport.read(reply.data(), reply.size()));
    return reply;
}

}  // namespace vexa::test::engine
