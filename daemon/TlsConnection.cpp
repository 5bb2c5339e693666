#include "TlsConnection.h"

#include <mbedtls/x509_crt.h>

#include "DaemonLog.h"
#include "TlsClientHandler.h"
#include "TlsListener.h"

namespace vexa::daemon {
namespace {

std::string VerifyText(uint32_t flags)
{
    char text[256];
    if (mbedtls_x509_crt_verify_info(text, sizeof text, "", flags) < 0) {
        return "certificate not accepted";
    }
    std::string info(text);
    while (!info.empty() && info.back() == '\n') {
        info.pop_back();
    }
    return info;
}

}  // namespace

CTlsConnection::CTlsConnection(const TlsServerContext& context, uint64_t number) : m_context(context), m_number(number)
{
    mbedtls_net_init(&m_net);
    mbedtls_ssl_init(&m_ssl);
}

CTlsConnection::~CTlsConnection()
{
    mbedtls_ssl_free(&m_ssl);
    mbedtls_net_free(&m_net);
}

void CTlsConnection::serve(CTlsToken& token)
{
    const auto deadline = CTlsPeer::Clock::now() + std::chrono::milliseconds(m_context.handshakeTimeout);
    CTlsPeer peer(m_net.fd, std::chrono::milliseconds(m_context.readTimeout));
    peer.setDeadline(deadline);
    if (handshake(peer) != 0) {
        return;
    }
    m_port = token.port();
    if (m_port == nullptr) {
        LogMessage(corvel::kLogError, "Could not open device on USB transport.");
        return;
    }
    m_client = std::make_unique<CPortClient>("TLS client " + std::to_string(m_number) + " (" + m_address + ")");
    HandleTlsClient(&m_ssl, *m_port, *m_client, peer);
}

// The whole handshake, however the peer paces it, must end by the peer's
// deadline.
int CTlsConnection::handshake(CTlsPeer& peer)
{
    int result = mbedtls_ssl_setup(&m_ssl, &m_context.config);
    if (result != 0) {
        LogMessage(corvel::kLogError, "ssl setup returned %d\n", result);
        return result;
    }
    peer.attach(&m_ssl);
    do {
        result = mbedtls_ssl_handshake(&m_ssl);
    } while (result == MBEDTLS_ERR_SSL_WANT_READ || result == MBEDTLS_ERR_SSL_WANT_WRITE);
    if (result != 0) {
        logHandshakeFailure(peer, result);
    }
    return result;
}

void CTlsConnection::logHandshakeFailure(const CTlsPeer& peer, int result)
{
    LogMessage(corvel::kLogError, "ssl handshake returned %d", result);
    LogMessage(corvel::kLogError, "Last error was: %d - %s\n", result, tlsErrorText(result).c_str());
    const uint32_t flags = mbedtls_ssl_get_verify_result(&m_ssl);
    if (peer.timedOut()) {
        LogMessage(corvel::kLogError, "TLS client %s did not finish its handshake within %u ms; dropped.",
                   m_address.c_str(), m_context.handshakeTimeout);
    } else if (m_context.clientCertificates && flags != 0 && flags != UINT32_MAX) {
        LogMessage(corvel::kLogError, "TLS client %s refused: %s", m_address.c_str(), VerifyText(flags).c_str());
    } else {
        LogMessage(corvel::kLogError, "TLS handshake with %s failed; dropped.", m_address.c_str());
    }
}

}  // namespace vexa::daemon
