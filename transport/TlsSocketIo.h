#pragma once
#include <chrono>
#include <cstddef>

namespace corvel {

using TlsClock = std::chrono::steady_clock;

// Waits until fd is ready for events or deadline has passed; false at the
// deadline. A hang-up or an error counts as ready: the call after it reports
// it.
bool waitForSocket(int fd, short events, TlsClock::time_point deadline);

// One send or receive on a socket, without waiting and without SIGPIPE, in
// the TLS library's terms: the byte count; MBEDTLS_ERR_SSL_WANT_WRITE or
// _WANT_READ when it would block; MBEDTLS_ERR_NET_CONN_RESET when the peer
// has gone; MBEDTLS_ERR_NET_SEND_FAILED or _RECV_FAILED otherwise.
int sendNow(int fd, const unsigned char* data, size_t length);
int receiveNow(int fd, unsigned char* data, size_t length);

}  // namespace corvel
