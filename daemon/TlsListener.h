#pragma once
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/ssl_cache.h>
#include <mbedtls/x509_crt.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <string>

#include "DaemonSettings.h"
#include "TlsConnection.h"
#include "TlsToken.h"

namespace vexa::daemon {

struct TlsSettings {
    std::string serial;  // empty: the first token found
    std::string certFile;
    std::string caFile;
    std::string keyFile;
    std::string bindAddress;  // empty: every local address
    std::string port;
    std::string clientCaFile;           // empty: clients are not asked for a certificate
    const char* keyPassword = nullptr;  // null: the key is not encrypted
    // Milliseconds a connection waits for a request, and a request has from
    // its first byte to its last.
    uint32_t readTimeout = 60000;
    // Milliseconds from the accept by which the handshake must be done.
    uint32_t handshakeTimeout = 10000;
    // Milliseconds each token reply is waited for.
    uint32_t tokenTimeout = 120000;
    // Clients served at once; more wait in the listening socket's backlog.
    uint32_t maxClients = kDefaultTlsClients;
};

// The TLS library's objects that every connection of the listener shares;
// initialised on construction and freed on destruction. After the set-up
// connections only read them: the generator and the session cache take
// their own locks.
struct TlsServerContext {
    TlsServerContext();
    ~TlsServerContext();
    TlsServerContext(const TlsServerContext&) = delete;
    TlsServerContext& operator=(const TlsServerContext&) = delete;

    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context generator;
    mbedtls_ssl_config config;
    mbedtls_x509_crt serverCertificate;
    mbedtls_x509_crt caChain;
    mbedtls_x509_crt clientCaChain;  // empty unless client certificates are required
    mbedtls_pk_context serverKey;
    mbedtls_ssl_cache_context sessionCache;
    mbedtls_net_context listener;  // non-blocking
    uint32_t readTimeout = 0;
    uint32_t handshakeTimeout = 0;
    bool clientCertificates = false;
};

// Loads certificates and key, binds the port and configures TLS (requiring
// client certificates when settings name a client CA file). Returns 0, or the
// failing call's result after logging what failed.
int setUpTlsServer(TlsServerContext& context, const TlsSettings& settings);

// Waits up to `wait` for a client and accepts its TCP connection: the new
// connection, numbered `number`, its handshake still to come; null when none
// came or the accept failed (logged).
std::unique_ptr<CTlsConnection> AcceptTlsClient(TlsServerContext& context, uint64_t number,
                                                std::chrono::milliseconds wait);

// Accepts clients and serves each on a thread of its own, up to maxClients
// at once, all through the one token.
class CTlsListener {
public:
    CTlsListener(TlsServerContext& context, CTlsToken& token, uint32_t maxClients);
    // Waits for every connection to end.
    ~CTlsListener();
    CTlsListener(const CTlsListener&) = delete;
    CTlsListener& operator=(const CTlsListener&) = delete;

    // Accepts until `clients` have been accepted (for ever by default), then
    // waits for them to end. Looks for the token once a second meanwhile.
    void run(uint64_t clients = std::numeric_limits<uint64_t>::max());

private:
    // Whether a client may be accepted; waits up to `wait` for one to leave
    // when the most are being served.
    bool roomFor(std::chrono::milliseconds wait);
    void start(std::unique_ptr<CTlsConnection> connection);
    // Where every connection ends, after its close notification; the one
    // place that learns that a client has gone.
    void ended(std::shared_ptr<CTlsConnection> connection);
    void waitForAll();

    TlsServerContext& m_context;
    CTlsToken& m_token;
    const uint32_t m_maxClients;
    std::mutex m_mutex;  // guards m_active
    std::condition_variable m_changed;
    uint32_t m_active = 0;  // connections started and not yet ended
};

// Sets up and then serves clients for ever; returns only when the set-up
// fails, with the failing call's result.
int runTlsTransport(const TlsSettings& settings);

}  // namespace vexa::daemon
