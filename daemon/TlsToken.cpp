#include "TlsToken.h"

#include <algorithm>

#include "CHIDTransport.h"

namespace vexa::daemon {

CTlsToken::CTlsToken(Opener open, Presence attached) : m_open(std::move(open)), m_attached(std::move(attached)) {}

PortPtr CTlsToken::port()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_port == nullptr || !m_port->usable()) {
        m_port = m_open();
    }
    return m_port;
}

void CTlsToken::check()
{
    PortPtr held;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        held = m_port;
    }
    // Listing the tokens takes a while; connections need not wait for it.
    if (held == nullptr || (held->usable() && m_attached(held->serial()))) {
        return;
    }
    held->markUnusable();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_port == held) {
        m_port.reset();
    }
}

CTlsToken::Opener hidTokenOpener(const std::string& serial, uint32_t tokenTimeout)
{
    return [serial, tokenTimeout]() -> PortPtr {
        // Opened by its serial, the token can be looked for later.
        std::string chosen = serial;
        if (chosen.empty()) {
            const auto serials = corvel::CHIDTransport::listSerialNumbers(kTokenVendorId, kTokenProductId);
            if (serials && !serials->empty()) {
                chosen = serials->front();
            }
        }
        return createPort(chosen, tokenTimeout);
    };
}

bool hidTokenAttached(const std::string& serial)
{
    if (serial.empty()) {
        return true;
    }
    const auto serials = corvel::CHIDTransport::listSerialNumbers(kTokenVendorId, kTokenProductId);
    return !serials || std::find(serials->begin(), serials->end(), serial) != serials->end();
}

}  // namespace vexa::daemon
