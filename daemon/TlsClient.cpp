#include "TlsClient.h"

#include <mbedtls/error.h>

#include "ClientSession.h"
#include "DaemonLog.h"

namespace vexa::daemon {
namespace {

bool RetryRead(int result) { return result == MBEDTLS_ERR_SSL_WANT_READ || result == MBEDTLS_ERR_SSL_WANT_WRITE; }

bool RetryWrite(int result)
{
    return RetryRead(result) || result == MBEDTLS_ERR_SSL_ASYNC_IN_PROGRESS ||
           result == MBEDTLS_ERR_SSL_CRYPTO_IN_PROGRESS;
}

struct TlsReadResult {
    size_t count;
    int last;  // the result that stopped the reading (0 or an error code), 1 when complete
};

// Reads until length bytes have arrived or a read returns 0 or an error. A
// record boundary may fall inside a header, so the header is read this way too.
TlsReadResult TlsReadFully(mbedtls_ssl_context* ssl, uint8_t* data, size_t length)
{
    size_t count = 0;
    while (count < length) {
        const int got = mbedtls_ssl_read(ssl, data + count, length - count);
        if (RetryRead(got)) {
            continue;
        }
        if (got <= 0) {
            return {count, got};
        }
        count += static_cast<size_t>(got);
    }
    return {count, 1};
}

void LogReadEnd(int result)
{
    if (result == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY) {
        LogMessage(corvel::kLogInfo, "TLS read failed, connection closed by peer.");
    } else if (result < 0) {
        LogMessage(corvel::kLogError, "TLS read failed %d : %s", result, TlsErrorText(result).c_str());
    }
}

bool ReadRequest(mbedtls_ssl_context* ssl, ClientSession& session, corvel::ClientPacketHeader& header)
{
    const TlsReadResult headerRead = TlsReadFully(ssl, session.header, corvel::kClientHeaderSize);
    if (headerRead.count == 0) {
        LogReadEnd(headerRead.last);
        return false;
    }
    if (headerRead.count < corvel::kClientHeaderSize) {
        LogMessage(corvel::kLogInfo, "short len read");
        return false;
    }
    header = corvel::parseClientHeader(session.header);
    if (header.length > kMaxMessage) {
        LogMessage(corvel::kLogError, "packet len too big %u", header.length);
        return false;
    }
    const TlsReadResult payload = TlsReadFully(ssl, session.buffer.data(), header.length);
    if (payload.count < header.length) {
        LogReadEnd(payload.last);
        LogMessage(corvel::kLogError, "Short packet read, expected %d got %d", static_cast<int>(header.length),
                   static_cast<int>(payload.count));
        return false;
    }
    return true;
}

// Any error but a retry drops the rest of the reply; the next read then ends
// the connection.
void TlsWriteAll(mbedtls_ssl_context* ssl, const uint8_t* data, size_t length)
{
    size_t written = 0;
    while (written < length) {
        const int sent = mbedtls_ssl_write(ssl, data + written, length - written);
        if (RetryWrite(sent)) {
            continue;
        }
        if (sent < 0) {
            return;
        }
        written += static_cast<size_t>(sent);
    }
}

bool ServeRequest(mbedtls_ssl_context* ssl, corvel::CTransport* transport, ClientSession& session)
{
    corvel::ClientPacketHeader header{};
    if (!ReadRequest(ssl, session, header)) {
        return false;
    }
    session.replyLength = header.length;  // any other command is echoed
    if (header.commandType == corvel::kCommandToken) {
        if (!WriteUSBPort(transport, session.buffer.data(), header.length)) {
            LogMessage(corvel::kLogError, "Failed to send USB cmd.");
            return false;
        }
        session.replyLength = kMaxMessage;
        if (!ReadUSBPort(transport, session.buffer.data(), session.replyLength)) {
            return false;
        }
    }
    TlsWriteAll(ssl, session.buffer.data(), session.replyLength);
    return true;
}

}  // namespace

std::string TlsErrorText(int code)
{
    char text[100];
    mbedtls_strerror(code, text, sizeof text);
    return text;
}

void HandleTlsClient(mbedtls_ssl_context* ssl, corvel::CTransport* transport)
{
    ClientSession session;
    while (ServeRequest(ssl, transport, session)) {
    }
    int result;
    do {
        result = mbedtls_ssl_close_notify(ssl);
    } while (RetryRead(result));
}

}  // namespace vexa::daemon
