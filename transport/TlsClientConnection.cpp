#include "TlsClientConnection.h"

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/error.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "TlsPolicy.h"
#include "TlsSocketIo.h"

namespace corvel {
namespace {

// A client certificate with its private key.
struct Credentials {
    mbedtls_x509_crt cert;
    mbedtls_pk_context key;

    Credentials()
    {
        mbedtls_x509_crt_init(&cert);
        mbedtls_pk_init(&key);
    }
    ~Credentials()
    {
        mbedtls_pk_free(&key);
        mbedtls_x509_crt_free(&cert);
    }
    Credentials(const Credentials&) = delete;
    Credentials& operator=(const Credentials&) = delete;

    // 0, or the failing mbed TLS result with `what` naming the file and the step.
    int load(const std::string& certFile, const std::string& keyFile, std::string& what)
    {
        int result = mbedtls_x509_crt_parse_file(&cert, certFile.c_str());
        if (result < 0) {
            what = "Failed to load client certificate " + certFile;
            return result;
        }
        // An empty password is no password: the key may not be encrypted.
        const char* password = std::getenv(kClientKeyPasswordVariable);
        result = mbedtls_pk_parse_keyfile(&key, keyFile.c_str(),
                                          password != nullptr && *password != '\0' ? password : nullptr);
        if (result != 0) {
            what = "Failed to load client key " + keyFile;
            if (result == MBEDTLS_ERR_PK_PASSWORD_REQUIRED || result == MBEDTLS_ERR_PK_PASSWORD_MISMATCH) {
                what += std::string(" (its password comes from ") + kClientKeyPasswordVariable + ")";
            }
            return result;
        }
        result = mbedtls_pk_check_pair(&cert.pk, &key);
        if (result != 0) {
            what = "Client key " + keyFile + " does not belong to the certificate " + certFile;
        }
        return result;
    }
};

}  // namespace

// The TCP connection as the TLS context sees it. Every wait ends: while
// connecting at the connect's deadline, afterwards after the time-out.
struct SocketIo {
    int fd = -1;
    bool connecting = true;
    TlsClock::time_point deadline;  // of the connect, handshake included
    uint32_t timeoutMs = 0;         // of each later wait for the daemon

    TlsClock::time_point until(uint32_t milliseconds) const
    {
        return connecting ? deadline : TlsClock::now() + std::chrono::milliseconds(milliseconds);
    }
};

// Created together, freed together.
struct TlsClientConnection::State {
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    mbedtls_ssl_config config;
    mbedtls_x509_crt caChain;
    Credentials own;  // loaded only with a client certificate
    mbedtls_ssl_context ssl;
    mbedtls_net_context net;  // owns the socket
    SocketIo io;

    State()
    {
        mbedtls_entropy_init(&entropy);
        mbedtls_ctr_drbg_init(&drbg);
        mbedtls_ssl_config_init(&config);
        mbedtls_x509_crt_init(&caChain);
        mbedtls_ssl_init(&ssl);
        mbedtls_net_init(&net);
    }
    ~State()
    {
        mbedtls_net_free(&net);
        mbedtls_x509_crt_free(&caChain);
        mbedtls_ssl_free(&ssl);
        mbedtls_ssl_config_free(&config);
        mbedtls_ctr_drbg_free(&drbg);
        mbedtls_entropy_free(&entropy);
    }
    State(const State&) = delete;
    State& operator=(const State&) = delete;
};

namespace {

constexpr unsigned char kPersonalisation[] = "vexa_client";

bool isRetry(int result)
{
    return result == MBEDTLS_ERR_SSL_WANT_READ || result == MBEDTLS_ERR_SSL_WANT_WRITE ||
           result == MBEDTLS_ERR_SSL_ASYNC_IN_PROGRESS || result == MBEDTLS_ERR_SSL_CRYPTO_IN_PROGRESS;
}

// Sends never raise SIGPIPE (a library must not end its application that
// way when the daemon has gone), and wait for room as reads wait for data.
int sendBounded(void* context, const unsigned char* data, size_t length)
{
    const auto* io = static_cast<SocketIo*>(context);
    if (!waitForSocket(io->fd, POLLOUT, io->until(io->timeoutMs))) {
        return MBEDTLS_ERR_SSL_TIMEOUT;
    }
    return sendNow(io->fd, data, length);
}

// timeoutMs is the configuration's read time-out, which the library gives.
int receiveBounded(void* context, unsigned char* data, size_t length, uint32_t timeoutMs)
{
    const auto* io = static_cast<SocketIo*>(context);
    if (!waitForSocket(io->fd, POLLIN, io->until(timeoutMs))) {
        return MBEDTLS_ERR_SSL_TIMEOUT;
    }
    return receiveNow(io->fd, data, length);
}

// One address: a non-blocking connect, complete by the deadline. The socket,
// or -1 with errno set (ETIMEDOUT at the deadline).
int connectOne(const addrinfo& address, TlsClock::time_point deadline)
{
    const int fd = ::socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, address.ai_protocol);
    if (fd < 0) {
        return -1;
    }
    int error = 0;
    if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            socklen_t length = sizeof error;
            if (!waitForSocket(fd, POLLOUT, deadline)) {
                error = ETIMEDOUT;
            } else if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
                error = errno;
            }
        }
    }
    if (error != 0) {
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// A TCP connection to host:port by the deadline, trying each address the
// name resolves to in turn. The socket (non-blocking), or -1; timedOut tells
// whether the deadline ended the trying.
int connectBy(const std::string& host, int32_t port, TlsClock::time_point deadline, bool& timedOut)
{
    timedOut = false;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
        return -1;
    }
    int fd = -1;
    for (const addrinfo* address = found; address != nullptr && fd < 0; address = address->ai_next) {
        fd = connectOne(*address, deadline);
        timedOut = fd < 0 && errno == ETIMEDOUT && TlsClock::now() >= deadline;
        if (timedOut) {
            break;
        }
    }
    ::freeaddrinfo(found);
    return fd;
}

}  // namespace

TlsClientConnection::TlsClientConnection(TlsClientOptions options, ILogTarget* logTarget)
    : m_options(std::move(options)), m_logTarget(logTarget)
{}

TlsClientConnection::~TlsClientConnection() { close(); }

void TlsClientConnection::logLastError(int result)
{
    char text[100];
    mbedtls_strerror(result, text, sizeof text);
    m_logTarget->logFormat(kLogError, "Last error was: %d - %s", result, text);
}

bool TlsClientConnection::connect(uint32_t timeoutMs)
{
    close();
    m_verifyFlags = 0;
    auto state = std::make_unique<State>();
    int result = mbedtls_ctr_drbg_seed(&state->drbg, mbedtls_entropy_func, &state->entropy, kPersonalisation,
                                       sizeof kPersonalisation - 1);
    if (result != 0) {
        m_logTarget->logFormat(kLogError, "drbg returned %d", result);
        logLastError(result);
        return false;
    }
    result = mbedtls_x509_crt_parse_file(&state->caChain, m_options.caFile.c_str());
    if (result < 0) {
        if (result == MBEDTLS_ERR_PK_FILE_IO_ERROR) {
            m_logTarget->logFormat(kLogError, "Failed to open ca cert file %s.", m_options.caFile.c_str());
        } else {
            m_logTarget->logFormat(kLogError, "CA file parse returned -0x%x", static_cast<unsigned>(-result));
        }
        logLastError(result);
        return false;
    }
    if (!m_options.certFile.empty()) {
        std::string what;
        result = state->own.load(m_options.certFile, m_options.keyFile, what);
        if (result != 0) {
            m_logTarget->logFormat(kLogError, "%s: -0x%x", what.c_str(), static_cast<unsigned>(-result));
            logLastError(result);
            return false;
        }
    }
    if (!connectSocket(*state, timeoutMs) || !configure(*state, timeoutMs)) {
        return false;
    }
    mbedtls_ssl_set_bio(&state->ssl, &state->io, sendBounded, nullptr, receiveBounded);
    if (!handshake(*state) || !verifyPeer(*state)) {
        return false;
    }
    state->io.connecting = false;
    m_state = std::move(state);
    return true;
}

// The TCP connection and, after it, the handshake share one deadline: a
// daemon whose backlog is full, or that accepts and stays silent, costs the
// caller the time-out and no more.
bool TlsClientConnection::connectSocket(State& state, uint32_t timeoutMs)
{
    m_logTarget->logFormat(kLogInfo, "Connecting to %s:%d...", m_options.address.c_str(), m_options.port);
    state.io.deadline = TlsClock::now() + std::chrono::milliseconds(timeoutMs);
    state.io.timeoutMs = timeoutMs;
    bool timedOut = false;
    state.net.fd = connectBy(m_options.address, m_options.port, state.io.deadline, timedOut);
    state.io.fd = state.net.fd;
    if (state.net.fd >= 0) {
        return true;
    }
    const int result = MBEDTLS_ERR_NET_CONNECT_FAILED;
    if (timedOut) {
        m_logTarget->logFormat(kLogError, "No connection to %s:%d within %u ms", m_options.address.c_str(),
                               m_options.port, timeoutMs);
    }
    m_logTarget->logFormat(kLogError, "connect returned %d", result);
    logLastError(result);
    return false;
}

bool TlsClientConnection::configure(State& state, uint32_t timeoutMs)
{
    int result = mbedtls_ssl_config_defaults(&state.config, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                             MBEDTLS_SSL_PRESET_DEFAULT);
    if (result != 0) {
        m_logTarget->logFormat(kLogError, "config defaults returned %d", result);
        logLastError(result);
        return false;
    }
    applyTlsPolicy(state.config);
    mbedtls_ssl_conf_read_timeout(&state.config, timeoutMs);
    mbedtls_ssl_conf_cert_profile(&state.config, &mbedtls_x509_crt_profile_default);
    // Optional, so that the handshake completes and verifyPeer names what is wrong.
    mbedtls_ssl_conf_authmode(&state.config, MBEDTLS_SSL_VERIFY_OPTIONAL);
    mbedtls_ssl_conf_ca_chain(&state.config, &state.caChain, nullptr);
    mbedtls_ssl_conf_rng(&state.config, mbedtls_ctr_drbg_random, &state.drbg);
    if (!m_options.certFile.empty()) {
        result = mbedtls_ssl_conf_own_cert(&state.config, &state.own.cert, &state.own.key);
        if (result != 0) {
            m_logTarget->logFormat(kLogError, "own certificate returned %d", result);
            logLastError(result);
            return false;
        }
    }
    result = mbedtls_ssl_setup(&state.ssl, &state.config);
    if (result != 0) {
        m_logTarget->logFormat(kLogError, "ssl setup returned %d", result);
        logLastError(result);
        return false;
    }
    result = mbedtls_ssl_set_hostname(&state.ssl, m_options.address.c_str());
    if (result != 0) {
        m_logTarget->logFormat(kLogError, "set_hostname returned %d", result);
        logLastError(result);
        return false;
    }
    return true;
}

bool TlsClientConnection::handshake(State& state)
{
    int result;
    while ((result = mbedtls_ssl_handshake(&state.ssl)) != 0) {
        if (result != MBEDTLS_ERR_SSL_WANT_READ && result != MBEDTLS_ERR_SSL_WANT_WRITE) {
            m_logTarget->logFormat(kLogError, "ssl handshake returned -0x%x", static_cast<unsigned>(-result));
            logLastError(result);
            return false;
        }
    }
    return true;
}

bool TlsClientConnection::verifyPeer(State& state)
{
    const uint32_t flags = mbedtls_ssl_get_verify_result(&state.ssl);
    m_verifyFlags = flags;
    if (flags == 0) {
        return true;
    }
    char text[512];
    if (mbedtls_x509_crt_verify_info(text, sizeof text, "", flags) < 0) {
        text[0] = '\0';
    }
    m_logTarget->logFormat(kLogError, "Certificate verification failed: %s", text);
    return false;
}

void TlsClientConnection::setReadTimeout(uint32_t timeoutMs)
{
    if (m_state != nullptr) {
        mbedtls_ssl_conf_read_timeout(&m_state->config, timeoutMs);
        m_state->io.timeoutMs = timeoutMs;
    }
}

void TlsClientConnection::close()
{
    if (m_state == nullptr) {
        return;
    }
    m_logTarget->logText(kLogTrace, "closing tls connection.");
    (void)mbedtls_ssl_close_notify(&m_state->ssl);
    m_state.reset();
}

void TlsClientConnection::abandon()
{
    if (m_state == nullptr) {
        return;
    }
    if (m_state->net.fd >= 0) {
        ::close(m_state->net.fd);
        m_state->net.fd = -1;
    }
    m_state.reset();
}

int TlsClientConnection::write(const uint8_t* data, size_t length)
{
    size_t sent = 0;
    while (sent < length) {
        const int result = mbedtls_ssl_write(&m_state->ssl, data + sent, length - sent);
        if (result >= 0) {
            sent += static_cast<size_t>(result);
        } else if (!isRetry(result)) {
            close();
            return result;
        }
    }
    return 0;
}

int TlsClientConnection::read(uint8_t* buffer, size_t length)
{
    const size_t wanted = length > INT_MAX ? INT_MAX : length;
    int result;
    do {
        result = mbedtls_ssl_read(&m_state->ssl, buffer, wanted);
    } while (isRetry(result));
    return result;
}

bool TlsClientConnection::bytesWaiting() const
{
    return m_state != nullptr && mbedtls_ssl_get_bytes_avail(&m_state->ssl) > 0;
}

// The daemon writes nothing between replies but the end of a connection:
// a close notification, the TCP close or a reset.
bool TlsClientConnection::endedByPeer() const
{
    if (m_state == nullptr || mbedtls_ssl_get_bytes_avail(&m_state->ssl) > 0) {
        return false;
    }
    pollfd state{m_state->io.fd, POLLIN, 0};
    return ::poll(&state, 1, 0) > 0;
}

bool TlsClientConnection::isTimeout(int result) { return result == MBEDTLS_ERR_SSL_TIMEOUT; }

std::string TlsClientConnection::credentialsProblem(const std::string& certFile, const std::string& keyFile)
{
    Credentials credentials;
    std::string what;
    const int result = credentials.load(certFile, keyFile, what);
    if (result == 0) {
        return "";
    }
    char text[100];
    mbedtls_strerror(result, text, sizeof text);
    return what + ": " + text;
}

}  // namespace corvel
