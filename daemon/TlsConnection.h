#pragma once
#include <mbedtls/net_sockets.h>
#include <mbedtls/ssl.h>

#include <cstdint>
#include <memory>
#include <string>

#include "TlsPeer.h"
#include "TlsToken.h"
#include "USBPort.h"

namespace vexa::daemon {

struct TlsServerContext;

// One client of the TLS listener, from its accept to its end: its TCP
// connection and TLS state, and the token's port it is served with. Each
// runs on a thread of its own.
class CTlsConnection {
public:
    // number: the listener's count of accepted clients, for log lines.
    CTlsConnection(const TlsServerContext& context, uint64_t number);
    // Frees the TLS state, shuts the TCP connection down and closes it.
    ~CTlsConnection();
    CTlsConnection(const CTlsConnection&) = delete;
    CTlsConnection& operator=(const CTlsConnection&) = delete;

    // The TCP connection, for the accept to fill in.
    mbedtls_net_context& net() { return m_net; }
    void setAddress(std::string address) { m_address = std::move(address); }

    uint64_t number() const { return m_number; }
    const std::string& address() const { return m_address; }
    // The port this client was served with; null when it never got one.
    const PortPtr& port() const { return m_port; }
    // The client the port knows it as, for the port's detach once the
    // connection has gone; null when it never got a port.
    std::unique_ptr<CPortClient> releaseClient() { return std::move(m_client); }

    // The handshake, which must end within the context's handshake time-out
    // from now, then the client's requests until it leaves, each passed to
    // the token's port; ends with the close notification.
    void serve(CTlsToken& token);

private:
    int handshake(CTlsPeer& peer);
    void logHandshakeFailure(const CTlsPeer& peer, int result);

    const TlsServerContext& m_context;
    const uint64_t m_number;
    mbedtls_net_context m_net;
    mbedtls_ssl_context m_ssl;
    std::string m_address = "?";  // the peer's IP address, for log lines
    PortPtr m_port;
    std::unique_ptr<CPortClient> m_client;
};

}  // namespace vexa::daemon
