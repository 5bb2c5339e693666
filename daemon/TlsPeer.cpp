#include "TlsPeer.h"

#include <mbedtls/net_sockets.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

namespace vexa::daemon {
namespace {

// The TCP library's results for a failed system call, as its own send and
// receive functions give them.
int NetError(int error, int wouldBlock, int failed)
{
    if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) {
        return wouldBlock;
    }
    if (error == EPIPE || error == ECONNRESET) {
        return MBEDTLS_ERR_NET_CONN_RESET;
    }
    return failed;
}

}  // namespace

CTlsPeer::CTlsPeer(int fd, std::chrono::milliseconds readTimeout)
    : m_fd(fd), m_readTimeout(readTimeout), m_deadline(Clock::now() + readTimeout)
{}

void CTlsPeer::attach(mbedtls_ssl_context* ssl) { mbedtls_ssl_set_bio(ssl, this, Send, nullptr, Receive); }

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
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(m_deadline - Clock::now());
        if (left.count() <= 0) {
            m_timedOut = true;
            return false;
        }
        pollfd state{m_fd, events, 0};
        const int ready = poll(&state, 1, static_cast<int>(left.count()));
        // A hang-up or an error is ready too: the call after it reports it.
        if (ready > 0 || (ready < 0 && errno != EINTR)) {
            return true;
        }
    }
}

int CTlsPeer::Send(void* context, const unsigned char* data, size_t length)
{
    auto* peer = static_cast<CTlsPeer*>(context);
    if (!peer->waitFor(POLLOUT)) {
        return MBEDTLS_ERR_SSL_TIMEOUT;
    }
    const ssize_t sent = send(peer->m_fd, data, length, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent < 0) {
        return NetError(errno, MBEDTLS_ERR_SSL_WANT_WRITE, MBEDTLS_ERR_NET_SEND_FAILED);
    }
    return static_cast<int>(sent);
}

// The TLS library's own read time-out is ignored: the deadline rules.
int CTlsPeer::Receive(void* context, unsigned char* data, size_t length, uint32_t)
{
    auto* peer = static_cast<CTlsPeer*>(context);
    if (!peer->waitFor(POLLIN)) {
        return MBEDTLS_ERR_SSL_TIMEOUT;
    }
    const ssize_t got = recv(peer->m_fd, data, length, MSG_DONTWAIT);
    if (got < 0) {
        return NetError(errno, MBEDTLS_ERR_SSL_WANT_READ, MBEDTLS_ERR_NET_RECV_FAILED);
    }
    if (got > 0 && peer->m_awaitingRequest) {
        peer->setDeadline(Clock::now() + peer->m_readTimeout);
    }
    return static_cast<int>(got);
}

}  // namespace vexa::daemon
