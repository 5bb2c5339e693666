#include "TlsTestServer.h"

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <csignal>
#include <stdexcept>

namespace vexa::test {

struct TlsTestServer::Tls {
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    mbedtls_ssl_config config;
    mbedtls_x509_crt cert;
    mbedtls_pk_context key;
    mbedtls_net_context listen;

    Tls()
    {
        mbedtls_entropy_init(&entropy);
        mbedtls_ctr_drbg_init(&drbg);
        mbedtls_ssl_config_init(&config);
        mbedtls_x509_crt_init(&cert);
        mbedtls_pk_init(&key);
        mbedtls_net_init(&listen);
    }
    ~Tls()
    {
        mbedtls_net_free(&listen);
        mbedtls_pk_free(&key);
        mbedtls_x509_crt_free(&cert);
        mbedtls_ssl_config_free(&config);
        mbedtls_ctr_drbg_free(&drbg);
        mbedtls_entropy_free(&entropy);
    }
};

TlsTestServer::TlsTestServer(const std::string& certFile, const std::string& keyFile, FakeHandler handler, int port)
    : m_handler(std::move(handler)), m_tls(std::make_unique<Tls>())
{
    // The test process must survive a client that leaves mid-reply.
    std::signal(SIGPIPE, SIG_IGN);
    Tls& tls = *m_tls;
    static const unsigned char kSeed[] = "vexa_test_server";
    if (mbedtls_ctr_drbg_seed(&tls.drbg, mbedtls_entropy_func, &tls.entropy, kSeed, sizeof kSeed - 1) != 0 ||
        mbedtls_x509_crt_parse_file(&tls.cert, certFile.c_str()) != 0 ||
        mbedtls_pk_parse_keyfile(&tls.key, keyFile.c_str(), nullptr) != 0 ||
        mbedtls_ssl_config_defaults(&tls.config, MBEDTLS_SSL_IS_SERVER, MBEDTLS_SSL_TRANSPORT_STREAM,
                                    MBEDTLS_SSL_PRESET_DEFAULT) != 0 ||
        mbedtls_ssl_conf_own_cert(&tls.config, &tls.cert, &tls.key) != 0 ||
        mbedtls_net_bind(&tls.listen, "127.0.0.1", std::to_string(port).c_str(), MBEDTLS_NET_PROTO_TCP) != 0) {
        throw std::runtime_error("TLS test server set-up failed");
    }
    mbedtls_ssl_conf_rng(&tls.config, mbedtls_ctr_drbg_random, &tls.drbg);
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(tls.listen.fd, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { run(); });
}

TlsTestServer::~TlsTestServer()
{
    m_stop = true;
    ::shutdown(m_tls->listen.fd, SHUT_RDWR);
    {
        std::lock_guard<std::mutex> lock(m_fdMutex);
        if (m_clientFd >= 0) {
            ::shutdown(m_clientFd, SHUT_RDWR);
        }
    }
    m_thread.join();
}

void TlsTestServer::dropClient()
{
    std::unique_lock<std::mutex> lock(m_fdMutex);
    if (m_clientFd >= 0) {
        ::shutdown(m_clientFd, SHUT_RDWR);
    }
    m_clientEnded.wait(lock, [this] { return m_clientFd < 0; });
}

void TlsTestServer::run()
{
    while (!m_stop) {
        serveClient(m_accepted + 1);
    }
}

void TlsTestServer::serveClient(int number)
{
    mbedtls_net_context client;
    mbedtls_net_init(&client);
    mbedtls_ssl_context ssl;
    mbedtls_ssl_init(&ssl);
    if (mbedtls_net_accept(&m_tls->listen, &client, nullptr, 0, nullptr) != 0 || m_stop) {
        mbedtls_net_free(&client);
        mbedtls_ssl_free(&ssl);
        return;
    }
    ++m_accepted;
    {
        std::lock_guard<std::mutex> lock(m_fdMutex);
        m_clientFd = client.fd;
    }
    mbedtls_ssl_setup(&ssl, &m_tls->config);
    mbedtls_ssl_set_bio(&ssl, &client, mbedtls_net_send, mbedtls_net_recv, nullptr);
    PacketAssembler assembler;
    bool open = mbedtls_ssl_handshake(&ssl) == 0;
    while (open && !m_stop) {
        unsigned char chunk[8192];
        const int n = mbedtls_ssl_read(&ssl, chunk, sizeof chunk);
        if (n == MBEDTLS_ERR_SSL_WANT_READ || n == MBEDTLS_ERR_SSL_WANT_WRITE) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        assembler.append(chunk, static_cast<size_t>(n));
        std::vector<uint8_t> packet;
        while (open && assembler.next(packet)) {
            ReceivedPacket received{number, packet};
            const FakeReply reply = m_handler(received.payload());
            m_log.add(std::move(received));
            if (reply.action == FakeReply::Action::Close) {
                open = false;
            } else if (reply.action == FakeReply::Action::Send) {
                open = mbedtls_ssl_write(&ssl, reply.bytes.data(), reply.bytes.size()) >= 0;
            }
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_fdMutex);
        m_clientFd = -1;
    }
    m_clientEnded.notify_all();
    mbedtls_ssl_free(&ssl);
    mbedtls_net_free(&client);
}

}  // namespace vexa::test
