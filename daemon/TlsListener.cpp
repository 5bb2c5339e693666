#include "TlsListener.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <thread>

#include "CHIDTransport.h"
#include "DaemonLog.h"
#include "TlsClient.h"
#include "USBPort.h"

namespace vexa::daemon {
namespace {

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
    const int result = mbedtls_net_bind(&context.listener, address, settings.port.c_str(), MBEDTLS_NET_PROTO_TCP);
    if (result != 0) {
        LogMessage(corvel::kLogError, "bind returned %d", result);
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
    mbedtls_ssl_conf_read_timeout(&context.config, settings.readTimeout);
    mbedtls_ssl_conf_rng(&context.config, mbedtls_ctr_drbg_random, &context.generator);
    mbedtls_ssl_conf_session_cache(&context.config, &context.sessionCache, mbedtls_ssl_cache_get,
                                   mbedtls_ssl_cache_set);
    ConfigureClientAuthentication(context, settings);
    result = mbedtls_ssl_conf_own_cert(&context.config, &context.serverCertificate, &context.serverKey);
    if (result != 0) {
        LogMessage(corvel::kLogError, "ssl conf own cert returned %d\n", result);
        return result;
    }
    result = mbedtls_ssl_setup(&context.ssl, &context.config);
    if (result != 0) {
        LogMessage(corvel::kLogError, "ssl setup returned %d\n", result);
    }
    return result;
}

// Frees the client's connection on every way out.
struct ClientConnection {
    ClientConnection() { mbedtls_net_init(&net); }
    ~ClientConnection() { mbedtls_net_free(&net); }
    mbedtls_net_context net;
    std::string address;  // the peer's IP address, for log lines
};

std::string AddressText(const unsigned char* ip, size_t length)
{
    char text[INET6_ADDRSTRLEN] = "?";
    if (length == 4 || length == 16) {
        inet_ntop(length == 4 ? AF_INET : AF_INET6, ip, text, sizeof text);
    }
    return text;
}

int Accept(TlsServerContext& context, ClientConnection& client)
{
    unsigned char ip[16];
    size_t ipLength = 0;
    int result;
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        result = mbedtls_net_accept(&context.listener, &client.net, ip, sizeof ip, &ipLength);
    } while (result == MBEDTLS_ERR_SSL_WANT_READ);
    if (result != 0) {
        LogMessage(corvel::kLogError, "accept returned %d\n", result);
        LogMessage(corvel::kLogError, "Last error was: %d - %s\n", result, TlsErrorText(result).c_str());
        return result;
    }
    client.address = AddressText(ip, ipLength);
    return result;
}

std::string VerifyText(uint32_t flags)
{
    char text[256];
    if (mbedtls_x509_crt_verify_info(text, sizeof text, "", flags) < 0) {
        return "certificate not accepted";
    }
    std::string info(text);
    while (!info.empty() && info.back() == '\n') {
        info.pop_back();
    }
    return info;
}

void LogHandshakeFailure(TlsServerContext& context, const ClientConnection& client, const CTlsPeer& peer, int result)
{
    LogMessage(corvel::kLogError, "ssl handshake returned %d", result);
    LogMessage(corvel::kLogError, "Last error was: %d - %s\n", result, TlsErrorText(result).c_str());
    const uint32_t flags = mbedtls_ssl_get_verify_result(&context.ssl);
    if (peer.timedOut()) {
        LogMessage(corvel::kLogError, "TLS client %s did not finish its handshake within %u ms; dropped.",
                   client.address.c_str(), context.handshakeTimeout);
    } else if (context.clientCertificates && flags != 0 && flags != UINT32_MAX) {
        LogMessage(corvel::kLogError, "TLS client %s refused: %s", client.address.c_str(), VerifyText(flags).c_str());
    } else {
        LogMessage(corvel::kLogError, "TLS handshake with %s failed; dropped.", client.address.c_str());
    }
}

// The whole handshake, however the peer paces it, must end by the deadline.
int Handshake(TlsServerContext& context, ClientConnection& client, CTlsPeer& peer, CTlsPeer::Clock::time_point deadline)
{
    mbedtls_net_set_block(&client.net);
    peer.attach(&context.ssl);
    peer.setDeadline(deadline);
    int result;
    do {
        result = mbedtls_ssl_handshake(&context.ssl);
    } while (result == MBEDTLS_ERR_SSL_WANT_READ || result == MBEDTLS_ERR_SSL_WANT_WRITE);
    if (result != 0) {
        LogHandshakeFailure(context, client, peer, result);
    }
    return result;
}

}  // namespace

TlsServerContext::TlsServerContext()
{
    mbedtls_net_init(&listener);
    mbedtls_ssl_init(&ssl);
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
    mbedtls_ssl_free(&ssl);
    mbedtls_ssl_config_free(&config);
    mbedtls_ssl_cache_free(&sessionCache);
    mbedtls_ctr_drbg_free(&generator);
    mbedtls_entropy_free(&entropy);
}

int SetUpTlsServer(TlsServerContext& context, const TlsSettings& settings)
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
        LogMessage(corvel::kLogError, "Last error message was: %d - %s", result, TlsErrorText(result).c_str());
    }
    return result;
}

void ServeTlsClient(TlsServerContext& context, const TokenOpener& openToken)
{
    ClientConnection client;
    mbedtls_ssl_session_reset(&context.ssl);
    mbedtls_net_set_block(&context.listener);
    if (Accept(context, client) != 0) {
        return;
    }
    const auto deadline = CTlsPeer::Clock::now() + std::chrono::milliseconds(context.handshakeTimeout);
    CTlsPeer peer(client.net.fd, std::chrono::milliseconds(context.readTimeout));
    if (Handshake(context, client, peer, deadline) != 0) {
        return;
    }
    const auto transport = openToken();
    if (transport == nullptr) {
        LogMessage(corvel::kLogError, "Could not open device on USB transport.");
        return;
    }
    HandleTlsClient(&context.ssl, transport.get(), peer);
    CloseUSBPort(transport.get());
}

void AcceptTlsClient(TlsServerContext& context, const std::string& serial, uint32_t tokenTimeout)
{
    ServeTlsClient(context, [&serial, tokenTimeout] {
        return OpenUSBPort(kTokenVendorId, kTokenProductId, tokenTimeout, nullptr, serial.c_str());
    });
}

int RunTlsTransport(const TlsSettings& settings)
{
    WarnIfTokenMissing(settings.serial);
    TlsServerContext context;
    const int result = SetUpTlsServer(context, settings);
    if (result != 0) {
        return result;
    }
    for (;;) {
        AcceptTlsClient(context, settings.serial, settings.tokenTimeout);
    }
}

}  // namespace vexa::daemon
