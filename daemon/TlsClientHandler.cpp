#include "TlsClientHandler.h"

#include <mbedtls/error.h>

#include "ClientLoop.h"
#include "DaemonLog.h"

namespace vexa::daemon {
namespace {

bool RetryRead(int result) { return result == MBEDTLS_ERR_SSL_WANT_READ || result == MBEDTLS_ERR_SSL_WANT_WRITE; }

bool RetryWrite(int result)
{
    return RetryRead(result) || result == MBEDTLS_ERR_SSL_ASYNC_IN_PROGRESS ||
           result == MBEDTLS_ERR_SSL_CRYPTO_IN_PROGRESS;
}

void LogReadEnd(int result)
{
    if (result == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY) {
        LogMessage(corvel::kLogInfo, "TLS read failed, connection closed by peer.");
    } else if (result < 0) {
        LogMessage(corvel::kLogError, "TLS read failed %d : %s", result, tlsErrorText(result).c_str());
    }
}

class CTlsClientStream : public CClientStream {
public:
    CTlsClientStream(mbedtls_ssl_context* ssl, CTlsPeer& peer) : m_ssl(ssl), m_peer(peer) {}

    void beginRequest() override { m_peer.awaitRequest(); }

    // A record boundary may fall inside a header, so the header is read this
    // way too.
    size_t readExactly(uint8_t* data, size_t length) override
    {
        m_last = 0;
        size_t count = 0;
        while (count < length) {
            const int got = mbedtls_ssl_read(m_ssl, data + count, length - count);
            if (RetryRead(got)) {
                continue;
            }
            if (got <= 0) {
                m_last = got;
                break;
            }
            count += static_cast<size_t>(got);
        }
        return count;
    }

    bool writeAll(const uint8_t* data, size_t length) override
    {
        m_peer.startWrite();
        size_t written = 0;
        while (written < length) {
            const int sent = mbedtls_ssl_write(m_ssl, data + written, length - written);
            if (RetryWrite(sent)) {
                continue;
            }
            if (sent < 0) {
                return false;
            }
            written += static_cast<size_t>(sent);
        }
        return true;
    }

    bool peerGone() override { return socketHungUp(m_peer.fd()); }

    void logHeaderEnd(size_t count) override
    {
        if (count == 0) {
            LogReadEnd(m_last);
        } else {
            LogMessage(corvel::kLogInfo, "short len read");
        }
    }

    void logPayloadEnd() override { LogReadEnd(m_last); }

private:
    mbedtls_ssl_context* const m_ssl;
    CTlsPeer& m_peer;
    int m_last = 0;  // the result that stopped the last read: 0 or an error code
};

constexpr ClientLoopRules kTlsRules{/*echoOtherCommands=*/true,
                                    /*endOnFailedReply=*/false,
                                    /*noteFailedRead=*/false};

}  // namespace

std::string tlsErrorText(int code)
{
    char text[100];
    mbedtls_strerror(code, text, sizeof text);
    return text;
}

void HandleTlsClient(mbedtls_ssl_context* ssl, CThreadSafeUSBPort& port, CPortClient& client, CTlsPeer& peer)
{
    CTlsClientStream stream(ssl, peer);
    // A failed exchange has logged why, the port on the daemon's log, the
    // transport on standard error.
    serveClient(
        stream,
        [&port, &client](uint8_t* buffer, uint32_t length, uint32_t& replyLength,
                         const std::function<bool()>& stillWanted) {
            return port.exchange(client, buffer, length, replyLength, stillWanted);
        },
        kTlsRules);
    peer.startWrite();
    int result;
    do {
        result = mbedtls_ssl_close_notify(ssl);
    } while (RetryRead(result));
}

}  // namespace vexa::daemon
