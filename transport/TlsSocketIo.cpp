#include "TlsSocketIo.h"

#include <mbedtls/net_sockets.h>
#include <mbedtls/ssl.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

namespace corvel {
namespace {

int netError(int error, int wouldBlock, int failed)
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

bool waitForSocket(int fd, short events, TlsClock::time_point deadline)
{
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - TlsClock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd state{fd, events, 0};
        const int ready = poll(&state, 1, static_cast<int>(left.count()));
        if (ready > 0 || (ready < 0 && errno != EINTR)) {
            return true;
        }
    }
}

int sendNow(int fd, const unsigned char* data, size_t length)
{
    const ssize_t sent = send(fd, data, length, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent < 0) {
        return netError(errno, MBEDTLS_ERR_SSL_WANT_WRITE, MBEDTLS_ERR_NET_SEND_FAILED);
    }
    return static_cast<int>(sent);
}

int receiveNow(int fd, unsigned char* data, size_t length)
{
    const ssize_t got = recv(fd, data, length, MSG_DONTWAIT);
    if (got < 0) {
        return netError(errno, MBEDTLS_ERR_SSL_WANT_READ, MBEDTLS_ERR_NET_RECV_FAILED);
    }
    return static_cast<int>(got);
}

}  // namespace corvel
