#include "TlsTestClient.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <thread>

#include "Process.h"
#include "TestProcess.h"

namespace vexa::daemon::test {

namespace {

void Openssl(std::vector<std::string> args)
{
    args.insert(args.begin(), "openssl");
    const vexa::test::RunResult result = vexa::test::runProgram(args);
    if (result.status != 0) {
        throw std::runtime_error(args[1] + " failed: " + result.output);
    }
}

// A CA for client certificates: name.key and name.crt in dir.
void MakeClientCa(const vexa::test::TempDir& dir, const std::string& name, const std::string& subject)
{
    Openssl({"ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", dir.file(name + ".key")});
    Openssl({"req", "-x509", "-new", "-key", dir.file(name + ".key"), "-subj", subject, "-days", "2", "-addext",
             "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign", "-out",
             dir.file(name + ".crt")});
}

// A client certificate (name.crt, name.key) issued by the CA ca.
void MakeClientCert(const vexa::test::TempDir& dir, const std::string& name, const std::string& ca)
{
    Openssl({"ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", dir.file(name + ".key")});
    Openssl({"req", "-new", "-key", dir.file(name + ".key"), "-subj", "/CN=" + name, "-out", dir.file(name + ".csr")});
    WriteFile(dir.file(name + ".ext"),
              "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature\nextendedKeyUsage=clientAuth\n");
    Openssl({"x509", "-req", "-in", dir.file(name + ".csr"), "-CA", dir.file(ca + ".crt"), "-CAkey",
             dir.file(ca + ".key"), "-set_serial", "7", "-days", "2", "-extfile", dir.file(name + ".ext"), "-out",
             dir.file(name + ".crt")});
}

}  // namespace

TestCertificates::TestCertificates() : files(vexa::test::makeTestCertificates(dir.path()))
{
    // The traditional PEM encryption, which mbed TLS 2 reads.
    Openssl({"ec", "-in", keyFile(), "-aes128", "-passout", std::string("pass:") + kKeyPassword, "-out",
             encryptedKeyFile()});
    MakeClientCa(dir, "client-ca", "/CN=Vexa Test Client CA");
    MakeClientCert(dir, "client", "client-ca");
    MakeClientCa(dir, "foreign-ca", "/CN=Another Client CA");
    MakeClientCert(dir, "foreign", "foreign-ca");
}

const TestCertificates& Certificates()
{
    static const TestCertificates certificates;
    return certificates;
}

TlsTestClient::TlsTestClient(const std::string& caFile, const ClientCredentials& credentials)
{
    mbedtls_net_init(&m_net);
    mbedtls_ssl_init(&m_ssl);
    mbedtls_ssl_config_init(&m_config);
    mbedtls_x509_crt_init(&m_ca);
    mbedtls_x509_crt_init(&m_ownCert);
    mbedtls_pk_init(&m_ownKey);
    mbedtls_entropy_init(&m_entropy);
    mbedtls_ctr_drbg_init(&m_generator);
    if (mbedtls_ctr_drbg_seed(&m_generator, mbedtls_entropy_func, &m_entropy, nullptr, 0) != 0 ||
        mbedtls_x509_crt_parse_file(&m_ca, caFile.c_str()) != 0 ||
        mbedtls_ssl_config_defaults(&m_config, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                    MBEDTLS_SSL_PRESET_DEFAULT) != 0) {
        throw std::runtime_error("TLS client set-up failed");
    }
    mbedtls_ssl_conf_authmode(&m_config, MBEDTLS_SSL_VERIFY_REQUIRED);
    mbedtls_ssl_conf_ca_chain(&m_config, &m_ca, nullptr);
    mbedtls_ssl_conf_rng(&m_config, mbedtls_ctr_drbg_random, &m_generator);
    if (!credentials.certFile.empty() &&
        (mbedtls_x509_crt_parse_file(&m_ownCert, credentials.certFile.c_str()) != 0 ||
         mbedtls_pk_parse_keyfile(&m_ownKey, credentials.keyFile.c_str(), nullptr) != 0 ||
         mbedtls_ssl_conf_own_cert(&m_config, &m_ownCert, &m_ownKey) != 0)) {
        throw std::runtime_error("TLS client certificate set-up failed");
    }
    if (mbedtls_ssl_setup(&m_ssl, &m_config) != 0 || mbedtls_ssl_set_hostname(&m_ssl, "localhost") != 0) {
        throw std::runtime_error("TLS client set-up failed");
    }
}

TlsTestClient::~TlsTestClient()
{
    mbedtls_net_free(&m_net);
    mbedtls_ssl_free(&m_ssl);
    mbedtls_ssl_config_free(&m_config);
    mbedtls_x509_crt_free(&m_ca);
    mbedtls_x509_crt_free(&m_ownCert);
    mbedtls_pk_free(&m_ownKey);
    mbedtls_ctr_drbg_free(&m_generator);
    mbedtls_entropy_free(&m_entropy);
}

bool TlsTestClient::connect(const std::string& port)
{
    if (mbedtls_net_connect(&m_net, "127.0.0.1", port.c_str(), MBEDTLS_NET_PROTO_TCP) != 0) {
        return false;
    }
    mbedtls_ssl_set_bio(&m_ssl, &m_net, mbedtls_net_send, nullptr, mbedtls_net_recv_timeout);
    return true;
}

void TlsTestClient::trickle(std::chrono::milliseconds pause)
{
    m_pause = pause;
    mbedtls_ssl_set_bio(&m_ssl, this, TrickleSend, nullptr, TrickleReceive);
}

int TlsTestClient::TrickleReceive(void* context, unsigned char* data, size_t length, uint32_t timeout)
{
    return mbedtls_net_recv_timeout(&static_cast<TlsTestClient*>(context)->m_net, data, length, timeout);
}

int TlsTestClient::TrickleSend(void* context, const unsigned char* data, size_t length)
{
    auto* client = static_cast<TlsTestClient*>(context);
    std::this_thread::sleep_for(client->m_pause);
    return mbedtls_net_send(&client->m_net, data, std::min<size_t>(length, 1));
}

int TlsTestClient::handshake(std::chrono::milliseconds timeout)
{
    mbedtls_ssl_conf_read_timeout(&m_config, static_cast<uint32_t>(timeout.count()));
    int result;
    do {
        result = mbedtls_ssl_handshake(&m_ssl);
    } while (result == MBEDTLS_ERR_SSL_WANT_READ || result == MBEDTLS_ERR_SSL_WANT_WRITE);
    return result;
}

bool TlsTestClient::send(const Bytes& bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        const int n = mbedtls_ssl_write(&m_ssl, bytes.data() + sent, bytes.size() - sent);
        if (n == MBEDTLS_ERR_SSL_WANT_READ || n == MBEDTLS_ERR_SSL_WANT_WRITE) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

Bytes TlsTestClient::receive(size_t count, std::chrono::milliseconds timeout)
{
    mbedtls_ssl_conf_read_timeout(&m_config, static_cast<uint32_t>(timeout.count()));
    Bytes bytes(count);
    size_t got = 0;
    while (got < count) {
        const int n = mbedtls_ssl_read(&m_ssl, bytes.data() + got, count - got);
        if (n == MBEDTLS_ERR_SSL_WANT_READ || n == MBEDTLS_ERR_SSL_WANT_WRITE) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    bytes.resize(got);
    return bytes;
}

Bytes TlsTestClient::receiveReply(std::chrono::milliseconds timeout)
{
    mbedtls_ssl_conf_read_timeout(&m_config, static_cast<uint32_t>(timeout.count()));
    Bytes bytes(4096);
    for (;;) {
        const int n = mbedtls_ssl_read(&m_ssl, bytes.data(), bytes.size());
        if (n == MBEDTLS_ERR_SSL_WANT_READ || n == MBEDTLS_ERR_SSL_WANT_WRITE) {
            continue;
        }
        bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return bytes;
    }
}

bool TlsTestClient::closedByPeer(std::chrono::milliseconds timeout)
{
    mbedtls_ssl_conf_read_timeout(&m_config, static_cast<uint32_t>(timeout.count()));
    uint8_t chunk[4096];
    for (;;) {
        const int n = mbedtls_ssl_read(&m_ssl, chunk, sizeof chunk);
        if (n > 0 || n == MBEDTLS_ERR_SSL_WANT_READ || n == MBEDTLS_ERR_SSL_WANT_WRITE) {
            continue;
        }
        return n != MBEDTLS_ERR_SSL_TIMEOUT;
    }
}

void TlsTestClient::closeNotify()
{
    mbedtls_ssl_close_notify(&m_ssl);
    mbedtls_net_free(&m_net);
}

std::string FreeTcpPort()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return std::to_string(ntohs(address.sin_port));
}

}  // namespace vexa::daemon::test
