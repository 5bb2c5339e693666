#pragma once
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/ssl_cache.h>
#include <mbedtls/x509_crt.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "CTransport.h"

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
};

// The TLS library's objects of the listener; initialised on construction and
// freed on destruction.
struct TlsServerContext {
    TlsServerContext();
    ~TlsServerContext();
    TlsServerContext(const TlsServerContext&) = delete;
    TlsServerContext& operator=(const TlsServerContext&) = delete;

    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context generator;
    mbedtls_ssl_context ssl;
    mbedtls_ssl_config config;
    mbedtls_x509_crt serverCertificate;
    mbedtls_x509_crt caChain;
    mbedtls_x509_crt clientCaChain;  // empty unless client certificates are required
    mbedtls_pk_context serverKey;
    mbedtls_ssl_cache_context sessionCache;
    mbedtls_net_context listener;
    uint32_t readTimeout = 0;
    uint32_t handshakeTimeout = 0;
    bool clientCertificates = false;
};

// Loads certificates and key, binds the port and configures TLS (requiring
// client certificates when settings name a client CA file). Returns 0, or the
// failing call's result after logging what failed.
int SetUpTlsServer(TlsServerContext& context, const TlsSettings& settings);

// Opens the token for one connection; null when it cannot be opened.
using TokenOpener = std::function<std::unique_ptr<corvel::CTransport>()>;

// Waits for one client and, after the handshake, serves it to the end with
// the token that openToken gives for this connection alone. A client whose
// handshake is not done within the context's handshake time-out of the
// accept is dropped.
void ServeTlsClient(TlsServerContext& context, const TokenOpener& openToken);

// ServeTlsClient with the token of this serial (empty: the first found).
void AcceptTlsClient(TlsServerContext& context, const std::string& serial);

// Sets up and then serves clients one after the other for ever; returns only
// when the set-up fails, with the failing call's result.
int RunTlsTransport(const TlsSettings& settings);

}  // namespace vexa::daemon
