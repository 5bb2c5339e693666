#pragma once
// The library's road to a token: CHIDTransport to a simulated device. Only
// usable in a process started under vexa-token-sim's command mode.
#include <memory>

#include "CHIDTransport.h"
#include "TokenClient.h"

namespace vexa::test::engine {

class HidLink : public TokenLink {
public:
    // Opens the token with this serial; throws corvel::IOException when it
    // is not there.
    explicit HidLink(const std::string& serial);
    Bytes exchange(const Bytes& request) override;
    bool u2fFraming() const { return m_u2f; }

private:
    corvel::CHIDTransport m_transport;
    bool m_u2f = false;
};

}  // namespace vexa::test::engine
