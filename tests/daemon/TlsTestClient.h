#pragma once
// A TLS client of the daemon's packet protocol (mbed TLS), and the test
// certificates the daemon serves with.
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

#include <chrono>
#include <string>

#include "SocketClient.h"
#include "TempDir.h"
#include "TestCertificates.h"

namespace vexa::daemon::test {

// A client certificate and its key.
struct ClientCredentials {
    std::string certFile;
    std::string keyFile;
};

// The test CA and its certificate for localhost (tests/transport), with the
// server key also encrypted with kKeyPassword; and for client certificates a
// CA of their own with one client, and a client of another CA.
struct TestCertificates {
    static constexpr const char* kKeyPassword = "vexa-secret";

    TestCertificates();  // throws std::runtime_error when openssl fails
    std::string caFile() const { return files.caCert; }
    std::string certFile() const { return files.serverCert; }
    std::string keyFile() const { return files.serverKey; }
    std::string encryptedKeyFile() const { return dir.file("key-encrypted.pem"); }
    std::string clientCaFile() const { return dir.file("client-ca.crt"); }
    ClientCredentials client() const { return {dir.file("client.crt"), dir.file("client.key")}; }
    ClientCredentials foreignClient() const { return {dir.file("foreign.crt"), dir.file("foreign.key")}; }

    vexa::test::TempDir dir{"vexa-daemon-certs"};
    vexa::test::TestCertificates files;
};

// One set per test process, made on first use.
const TestCertificates& Certificates();

class TlsTestClient {
public:
    // Trusts the server certificates signed by the CA in caFile; presents
    // the client certificate, if given.
    explicit TlsTestClient(const std::string& caFile, const ClientCredentials& credentials = {});
    ~TlsTestClient();
    TlsTestClient(const TlsTestClient&) = delete;
    TlsTestClient& operator=(const TlsTestClient&) = delete;

    // TCP connection to 127.0.0.1:port; false when refused.
    bool connect(const std::string& port);
    // From now on every TLS record goes out one byte at a time, each byte
    // after a pause, as from a peer that trickles.
    void trickle(std::chrono::milliseconds pause);
    // Drives the handshake for up to timeout: 0 done, MBEDTLS_ERR_SSL_TIMEOUT
    // when the server has not answered yet (call again to go on), or an error.
    int handshake(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool send(const Bytes& bytes);
    Bytes receive(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // One reply as the daemon writes it (one record): empty when nothing came
    // in time.
    Bytes receiveReply(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // True when the server ends the connection within the timeout.
    bool closedByPeer(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    void closeNotify();

private:
    static int TrickleSend(void* context, const unsigned char* data, size_t length);
    static int TrickleReceive(void* context, unsigned char* data, size_t length, uint32_t timeout);

    mbedtls_net_context m_net;
    mbedtls_ssl_context m_ssl;
    mbedtls_ssl_config m_config;
    mbedtls_x509_crt m_ca;
    mbedtls_x509_crt m_ownCert;
    mbedtls_pk_context m_ownKey;
    std::chrono::milliseconds m_pause{0};
    mbedtls_entropy_context m_entropy;
    mbedtls_ctr_drbg_context m_generator;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
std::string FreeTcpPort();

}  // namespace vexa::daemon::test
