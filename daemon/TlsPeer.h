#pragma once
#include <mbedtls/ssl.h>

#include <chrono>
#include <cstdint>

namespace vexa::daemon {

// The TCP connection under one TLS client, given to the TLS context as its
// I/O functions. Every read and write ends by a deadline, so a peer that
// trickles bytes cannot stretch a phase by keeping each single read short.
class CTlsPeer {
public:
    using Clock = std::chrono::steady_clock;

    // readTimeout: the wait for a request, and the time its bytes have from
    // the first one on.
    CTlsPeer(int fd, std::chrono::milliseconds readTimeout);

    void attach(mbedtls_ssl_context* ssl);
    int fd() const { return m_fd; }

    // Reads and writes fail with MBEDTLS_ERR_SSL_TIMEOUT from deadline on.
    void setDeadline(Clock::time_point deadline);
    // A request may take readTimeout to begin; its first byte starts its own
    // readTimeout for the rest.
    void awaitRequest();
    // A reply gets readTimeout to leave.
    void startWrite();
    // Whether a read or write has met the deadline.
    bool timedOut() const { return m_timedOut; }

private:
    static int sendCallback(void* context, const unsigned char* data, size_t length);
    static int receiveCallback(void* context, unsigned char* data, size_t length, uint32_t ignoredTimeout);
    // Until fd is ready for events or the deadline passes; false at the deadline.
    bool waitFor(short events);

    const int m_fd;
    const std::chrono::milliseconds m_readTimeout;
    Clock::time_point m_deadline;
    bool m_awaitingRequest = false;  // the next bytes are a request's first
    bool m_timedOut = false;
};

}  // namespace vexa::daemon
