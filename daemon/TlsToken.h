#pragma once
#include <functional>
#include <mutex>
#include <string>

#include "USBPort.h"

namespace vexa::daemon {

// The one token the TLS listener serves. Its port is opened by the first
// connection that needs it and shared by every connection after, one
// exchange at a time; it is kept while the token stays attached, and opened
// again, for the connections that come after, once the token has gone.
class CTlsToken {
public:
    // Opens the token: its port, or null when it cannot be opened.
    using Opener = std::function<PortPtr()>;
    // Whether the token of this serial is still attached.
    using Presence = std::function<bool(const std::string& serial)>;

    CTlsToken(Opener open, Presence attached);

    // The port to serve a new connection with; null (and nothing held) when
    // the token cannot be opened.
    PortPtr port();
    // Lets go of a port whose token has gone or that can no longer be used.
    // The connections that hold it end at their next request.
    void check();

private:
    const Opener m_open;
    const Presence m_attached;
    std::mutex m_mutex;  // guards m_port
    PortPtr m_port;
};

// The attached token of this serial (empty: the first by serial number)
// through HID, with tokenTimeout milliseconds for each reply.
CTlsToken::Opener hidTokenOpener(const std::string& serial, uint32_t tokenTimeout);
// Whether HID lists the serial; true when the listing fails or the serial is
// empty, as nothing then says the token has gone.
bool hidTokenAttached(const std::string& serial);

}  // namespace vexa::daemon
