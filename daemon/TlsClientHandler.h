#pragma once
#include <mbedtls/ssl.h>

#include <string>

#include "TlsPeer.h"
#include "USBPort.h"

namespace vexa::daemon {

// Serves one TLS connection whose handshake is done, the port's client
// `client`, forwarding requests to the token's port, which it shares with
// the other connections, until the
// client leaves or a step fails. Each request must arrive whole within the
// peer's read time-out from its first byte. Sends the close notification
// before it returns; the caller closes the connection.
void HandleTlsClient(mbedtls_ssl_context* ssl, CThreadSafeUSBPort& port, CPortClient& client, CTlsPeer& peer);

// The TLS library's text for a result code.
std::string tlsErrorText(int code);

}  // namespace vexa::daemon
