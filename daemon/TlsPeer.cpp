#include "TlsPeer.h"

#include <poll.h>

#include "TlsSocketIo.h"

namespace vexa::daemon {

CTlsPeer::CTlsPeer(int fd, std::chrono::milliseconds readTimeout)
    : m_fd(fd), m_readTimeout(readTimeout), m_deadline(Clock::now() + readTimeout)
{}

void CTlsPeer::attach(mbedtls_ssl_context* ssl)
{
    mbedtls_ssl_set_bio(ssl, this, sendCallback, nullptr, receiveCallback);
}

void CTlsPeer::setDeadline(Clock::time_point deadline)
{
    m_deadline = deadline;
    m_awaitingRequest = false;
}

void CTlsPeer::awaitRequest()
{
    setDeadline(Clock::now() + m_readTimeout);
    m_awaitingRequest = true;
}

void CTlsPeer::startWrite() { setDeadline(Clock::now() + m_readTimeout); }

bool CTlsPeer::waitFor(short events)
{
    if (corvel::waitForSocket(m_fd, events, m_deadline)) {
        return true;
    }
    m_timedOut = true;
    return false;
}

int CTlsPeer::sendCallback(void* context, const unsigned char* data, size_t length)
{
    auto* peer = static_cast<CTlsPeer*>(context);
    if (!peer->waitFor(POLLOUT)) {
        return MBEDTLS_ERR_SSL_TIMEOUT;
    }
    return corvel::sendNow(peer->m_fd, data, length);
}

// The TLS library's own read time-out is ignored: the deadline rules.
int CTlsPeer::receiveCallback(void* context, unsigned char* data, size_t length, uint32_t)
{
    auto* peer = static_cast<CTlsPeer*>(context);
    if (!peer->waitFor(POLLIN)) {
        return MBEDTLS_ERR_SSL_TIMEOUT;
    }
    const int got = corvel::receiveNow(peer->m_fd, data, length);
    if (got > 0 && peer->m_awaitingRequest) {
        peer->setDeadline(Clock::now() + peer->m_readTimeout);
    }
    return got;
}

}  // namespace vexa::daemon
