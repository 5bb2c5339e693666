#include "TlsListener.h"

#include <arpa/inet.h>
#include <poll.h>

#include <algorithm>
#include <cstdint>
#include <system_error>
#include <thread>

#include "CHIDTransport.h"
#include "DaemonLog.h"
#include "TlsClientHandler.h"
#include "TlsPolicy.h"
#include "USBPort.h"

// Connections share the random generator and the session cache, which then
// lock themselves.
#if !defined(MBEDTLS_THREADING_C)
#error "mbed TLS must be built with MBEDTLS_THREADING_C"
#endif

namespace vexa::daemon {
namespace {

using Clock = std::chrono::steady_clock;

// The longest the accept loop waits for a client or for room for one, so
// that it looks for the token on time.
constexpr std::chrono::milliseconds kAcceptWait{250};
// How often the served token is looked for, as the Unix transport scans.
constexpr std::chrono::seconds kTokenCheckInterval{1};

constexpr unsigned char kPersonalisation[] = {'v', 'e', 'x', 'a', '_', 's', 'e', 'r', 'v', 'e', 'r'};

void WarnIfTokenMissing(const std::string& serial)
{
    const auto serials = corvel::CHIDTransport::listSerialNumbers(kTokenVendorId, kTokenProductId);
    if (!serials || std::find(serials->begin(), serials->end(), serial) == serials->end()) {
        LogMessage(corvel::kLogError, "Warning, device %s not found on startup.", serial.c_str());
    }
}

int LoadCredentials(TlsServerContext& context, const TlsSettings& settings)
{
    // A positive result counts certificates that failed to parse: also a failure.
    int result = mbedtls_x509_crt_parse_file(&context.serverCertificate, settings.certFile.c_str());
    if (result == MBEDTLS_ERR_PK_FILE_IO_ERROR) {
        LogMessage(corvel::kLogError, "Failed to open cert file %s: %d", settings.certFile.c_str(), result);
        return result;
    }
    if (result != 0) {
        LogMessage(corvel::kLogError, "server cert parse returned: %d", result);
        return result;
    }
    result = mbedtls_x509_crt_parse_file(&context.caChain, settings.caFile.c_str());
    if (result != 0) {
        LogMessage(corvel::kLogError, "CA cert chain parse returned: %d", result);
        return result;
    }
    result = mbedtls_pk_parse_keyfile(&context.serverKey, settings.keyFile.c_str(), settings.keyPassword);
    if (result != 0) {
        LogMessage(corvel::kLogError, "server key parse returned: %d", result);
        return result;
    }
    if (!settings.clientCaFile.empty()) {
        result = mbedtls_x509_crt_parse_file(&context.clientCaChain, settings.clientCaFile.c_str());
        if (result != 0) {
            LogMessage(corvel::kLogError, "client CA file %s parse returned: %d", settings.clientCaFile.c_str(),
                       result);
        }
    }
    return result;
}

// With a client CA file the server trusts that chain alone, and only for
// its clients: a client must present a certificate issued from it.
void ConfigureClientAuthentication(TlsServerContext& context, const TlsSettings& settings)
{
    context.clientCertificates = !settings.clientCaFile.empty();
    if (!context.clientCertificates) {
        mbedtls_ssl_conf_ca_chain(&context.config, &context.caChain, nullptr);
        return;
    }
    mbedtls_ssl_conf_authmode(&context.config, MBEDTLS_SSL_VERIFY_REQUIRED);
    mbedtls_ssl_conf_ca_chain(&context.config, &context.clientCaChain, nullptr);
    LogMessage(corvel::kLogInfo, "Clients need a certificate issued from %s", settings.clientCaFile.c_str());
}

int Bind(TlsServerContext& context, const TlsSettings& settings)
{
    LogMessage(corvel::kLogInfo, "Binding on %s:%s", settings.bindAddress.c_str(), settings.port.c_str());
    const char* address = settings.bindAddress.empty() ? nullptr : settings.bindAddress.c_str();
    int result = mbedtls_net_bind(&context.listener, address, settings.port.c_str(), MBEDTLS_NET_PROTO_TCP);
    if (result != 0) {
        LogMessage(corvel::kLogError, "bind returned %d", result);
        return result;
    }
    // The accept loop polls; a client that gives up between the poll and the
    // accept must not leave it blocked.
    result = mbedtls_net_set_nonblock(&context.listener);
    if (result != 0) {
        LogMessage(corvel::kLogError, "listener set non-blocking returned %d", result);
    }
    return result;
}

int Configure(TlsServerContext& context, const TlsSettings& settings)
{
    int result = mbedtls_ctr_drbg_seed(&context.generator, mbedtls_entropy_func, &context.entropy, kPersonalisation,
                                       sizeof kPersonalisation);
    if (result != 0) {
        LogMessage(corvel::kLogError, "drbg seed returned %d", result);
        return result;
    }
    result = mbedtls_ssl_config_defaults(&context.config, MBEDTLS_SSL_IS_SERVER, MBEDTLS_SSL_TRANSPORT_STREAM,
                                         MBEDTLS_SSL_PRESET_DEFAULT);
    if (result != 0) {
        LogMessage(corvel::kLogError, "ssl config defaults returned %d\n", result);
        return result;
    }
    corvel::applyTlsPolicy(context.config);
    mbedtls_ssl_conf_read_timeout(&context.config, settings.readTimeout);
    mbedtls_ssl_conf_rng(&context.config, mbedtls_ctr_drbg_random, &context.generator);
    mbedtls_ssl_conf_session_cache(&context.config, &context.sessionCache, mbedtls_ssl_cache_get,
                                   mbedtls_ssl_cache_set);
    ConfigureClientAuthentication(context, settings);
    result = mbedtls_ssl_conf_own_cert(&context.config, &context.serverCertificate, &context.serverKey);
    if (result != 0) {
        LogMessage(corvel::kLogError, "ssl conf own cert returned %d\n", result);
    }
    return result;
}

std::string AddressText(const unsigned char* ip, size_t length)
{
    char text[INET6_ADDRSTRLEN] = "?";
    if (length == 4 || length == 16) {
        inet_ntop(length == 4 ? AF_INET : AF_INET6, ip, text, sizeof text);
    }
    return text;
}

}  // namespace

TlsServerContext::TlsServerContext()
{
    mbedtls_net_init(&listener);
    mbedtls_ssl_config_init(&config);
    mbedtls_ssl_cache_init(&sessionCache);
    mbedtls_x509_crt_init(&serverCertificate);
    mbedtls_x509_crt_init(&caChain);
    mbedtls_x509_crt_init(&clientCaChain);
    mbedtls_pk_init(&serverKey);
    mbedtls_entropy_init(&entropy);
    mbedtls_ctr_drbg_init(&generator);
}

TlsServerContext::~TlsServerContext()
{
    mbedtls_net_free(&listener);
    mbedtls_x509_crt_free(&serverCertificate);
    mbedtls_x509_crt_free(&caChain);
    mbedtls_x509_crt_free(&clientCaChain);
    mbedtls_pk_free(&serverKey);
    mbedtls_ssl_config_free(&config);
    mbedtls_ssl_cache_free(&sessionCache);
    mbedtls_ctr_drbg_free(&generator);
    mbedtls_entropy_free(&entropy);
}

int setUpTlsServer(TlsServerContext& context, const TlsSettings& settings)
{
    context.readTimeout = settings.readTimeout;
    context.handshakeTimeout = settings.handshakeTimeout;
    int result = LoadCredentials(context, settings);
    if (result == 0) {
        result = Bind(context, settings);
    }
    if (result == 0) {
        result = Configure(context, settings);
    }
    if (result != 0) {
        LogMessage(corvel::kLogError, "Last error message was: %d - %s", result, tlsErrorText(result).c_str());
    }
    return result;
}

std::unique_ptr<CTlsConnection> AcceptTlsClient(TlsServerContext& context, uint64_t number,
                                                std::chrono::milliseconds wait)
{
    pollfd ready{context.listener.fd, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(wait.count())) <= 0) {
        return nullptr;
    }
    auto connection = std::make_unique<CTlsConnection>(context, number);
    unsigned char ip[16];
    size_t ipLength = 0;
    const int result = mbedtls_net_accept(&context.listener, &connection->net(), ip, sizeof ip, &ipLength);
    if (result == MBEDTLS_ERR_SSL_WANT_READ) {
        return nullptr;  // the client gave up before it was accepted
    }
    if (result != 0) {
        LogMessage(corvel::kLogError, "accept returned %d\n", result);
        LogMessage(corvel::kLogError, "Last error was: %d - %s\n", result, tlsErrorText(result).c_str());
        // Out of descriptors the client stays pending: do not spin on it.
        std::this_thread::sleep_for(wait);
        return nullptr;
    }
    connection->setAddress(AddressText(ip, ipLength));
    return connection;
}

CTlsListener::CTlsListener(TlsServerContext& context, CTlsToken& token, uint32_t maxClients)
    : m_context(context), m_token(token), m_maxClients(std::max<uint32_t>(maxClients, 1))
{}

CTlsListener::~CTlsListener() { waitForAll(); }

void CTlsListener::run(uint64_t clients)
{
    auto nextCheck = Clock::now() + kTokenCheckInterval;
    for (uint64_t accepted = 0; accepted < clients;) {
        if (roomFor(kAcceptWait)) {
            if (auto connection = AcceptTlsClient(m_context, accepted + 1, kAcceptWait)) {
                ++accepted;
                start(std::move(connection));
            }
        }
        if (Clock::now() >= nextCheck) {
            m_token.check();
            nextCheck = Clock::now() + kTokenCheckInterval;
        }
    }
    waitForAll();
}

bool CTlsListener::roomFor(std::chrono::milliseconds wait)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, wait, [this] { return m_active < m_maxClients; });
}

void CTlsListener::start(std::unique_ptr<CTlsConnection> connection)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_active;
        if (m_active == m_maxClients) {
            LogMessage(corvel::kLogInfo, "Serving the most TLS clients at once (%u); more wait.", m_maxClients);
        }
    }
    std::shared_ptr<CTlsConnection> shared(std::move(connection));
    try {
        std::thread([this, shared]() mutable {
            shared->serve(m_token);
            ended(std::move(shared));
        }).detach();
    } catch (const std::system_error& e) {
        LogMessage(corvel::kLogError, "Cannot start a thread for TLS client %s: %s", shared->address().c_str(),
                   e.what());
        ended(std::move(shared));
    }
}

void CTlsListener::ended(std::shared_ptr<CTlsConnection> connection)
{
    // The client is gone: what it left open on the token is closed, through
    // the port it was served with, before its place is given to another.
    const PortPtr port = connection->port();
    const std::unique_ptr<CPortClient> client = connection->releaseClient();
    connection.reset();  // closes the TCP connection before the listener may go
    if (port != nullptr && client != nullptr) {
        port->detach(*client);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_active;
    m_changed.notify_all();
}

void CTlsListener::waitForAll()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_active == 0; });
}

int runTlsTransport(const TlsSettings& settings)
{
    WarnIfTokenMissing(settings.serial);
    TlsServerContext context;
    const int result = setUpTlsServer(context, settings);
    if (result != 0) {
        return result;
    }
    CTlsToken token(hidTokenOpener(settings.serial, settings.tokenTimeout), hidTokenAttached);
    CTlsListener listener(context, token, settings.maxClients);
    listener.run();
    return 0;
}

}  // namespace vexa::daemon
