#pragma once
// A TLS client of the daemon's packet protocol (mbed TLS), and the test
// certificates the daemon serves with.
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

#include <chrono>
#include <string>

#include "SocketClient.h"
#include "TempDir.h"
#include "TestCertificates.h"

namespace vexa::daemon::test {

// The test CA and its certificate for localhost (tests/transport), with the
// server key also encrypted with kKeyPassword.
struct TestCertificates {
    static constexpr const char* kKeyPassword = "vexa-secret";

    TestCertificates();  // throws std::runtime_error when openssl fails
    std::string caFile() const { return files.caCert; }
    std::string certFile() const { return files.serverCert; }
    std::string keyFile() const { return files.serverKey; }
    std::string encryptedKeyFile() const { return dir.file("key-encrypted.pem"); }

    vexa::test::TempDir dir{"vexa-daemon-certs"};
    vexa::test::TestCertificates files;
};

// One set per test process, made on first use.
const TestCertificates& Certificates();

class TlsTestClient {
public:
    // Trusts the server certificates signed by the CA in caFile.
    explicit TlsTestClient(const std::string& caFile);
    ~TlsTestClient();
    TlsTestClient(const TlsTestClient&) = delete;
    TlsTestClient& operator=(const TlsTestClient&) = delete;

    // TCP connection to 127.0.0.1:port; false when refused.
    bool connect(const std::string& port);
    // Drives the handshake for up to timeout: 0 done, MBEDTLS_ERR_SSL_TIMEOUT
    // when the server has not answered yet (call again to go on), or an error.
    int handshake(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool send(const Bytes& bytes);
    Bytes receive(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // True when the server ends the connection within the timeout.
    bool closedByPeer(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    void closeNotify();

private:
    mbedtls_net_context m_net;
    mbedtls_ssl_context m_ssl;
    mbedtls_ssl_config m_config;
    mbedtls_x509_crt m_ca;
    mbedtls_entropy_context m_entropy;
    mbedtls_ctr_drbg_context m_generator;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
std::string FreeTcpPort();

}  // namespace vexa::daemon::test
