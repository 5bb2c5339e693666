// The daemon's TLS listener: the name, the port, the client certificate, and
// a handshake made by the library's own TLS connection with the library's
// settings.
#include <fcntl.h>
#include <mbedtls/x509.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "Doctor.h"
#include "FileAccess.h"
#include "TlsClientConnection.h"
#include "TokenListing.h"

namespace vexa::tool::doctor {
namespace {

constexpr int kConnectTimeoutMs = 5000;

using AddressList = std::unique_ptr<addrinfo, void (*)(addrinfo*)>;

std::string numericHost(const addrinfo& address)
{
    char host[NI_MAXHOST] = "";
    ::getnameinfo(address.ai_addr, address.ai_addrlen, host, sizeof host, nullptr, 0, NI_NUMERICHOST);
    return host;
}

// 0 when a TCP connection is made within the time-out, else the error.
int tcpConnect(const addrinfo& address)
{
    const int fd = ::socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, address.ai_protocol);
    if (fd < 0) {
        return errno;
    }
    int error = ::connect(fd, address.ai_addr, address.ai_addrlen) == 0 ? 0 : errno;
    if (error == EINPROGRESS) {
        pollfd waiting{fd, POLLOUT, 0};
        error = ETIMEDOUT;
        if (::poll(&waiting, 1, kConnectTimeoutMs) == 1) {
            socklen_t length = sizeof error;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
        }
    }
    ::close(fd);
    return error;
}

void checkFiles(CFindings& findings, const pkcs11::LibrarySettings& settings)
{
    const auto bundle = fileFacts(settings.cacertbundle);
    const std::string problem = bundle ? accessProblem(settings.cacertbundle, *bundle, R_OK) : std::strerror(errno);
    if (!problem.empty()) {
        findings.fail("tls", "CA bundle " + settings.cacertbundle + ": " + problem);
    }
    if (settings.clientcert.empty()) {
        return;
    }
    const std::string credentials =
        corvel::TlsClientConnection::credentialsProblem(settings.clientcert, settings.clientkey);
    if (credentials.empty()) {
        findings.ok("tls", "client certificate " + settings.clientcert + " loads with its key " + settings.clientkey);
    } else {
        findings.fail("tls", credentials + ": the library fails every connection");
    }
}

AddressList resolve(CFindings& findings, const pkcs11::LibrarySettings& settings)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    const int result = ::getaddrinfo(settings.address.c_str(), std::to_string(settings.port).c_str(), &hints, &found);
    AddressList addresses(found, ::freeaddrinfo);
    if (result != 0) {
        findings.fail("tls", "the address " + settings.address + " does not resolve: " + ::gai_strerror(result));
        return AddressList(nullptr, ::freeaddrinfo);
    }
    std::string list;
    for (const addrinfo* a = addresses.get(); a != nullptr; a = a->ai_next) {
        list += (list.empty() ? "" : ", ") + numericHost(*a);
    }
    findings.ok("tls", "the address " + settings.address + " resolves to " + list);
    return addresses;
}

// Tries the addresses in the order the TLS connection does.
bool portAnswers(CFindings& findings, const pkcs11::LibrarySettings& settings, const addrinfo* addresses)
{
    const std::string port = "port " + std::to_string(settings.port) + " on " + settings.address;
    std::string failures;
    for (const addrinfo* a = addresses; a != nullptr; a = a->ai_next) {
        const int error = tcpConnect(*a);
        if (error == 0) {
            findings.ok("tls", port + " (" + numericHost(*a) + ") accepts connections");
            return true;
        }
        failures += (failures.empty() ? "" : ", ") + numericHost(*a) + ": " + std::strerror(error);
    }
    findings.fail("tls", port + " accepts no connection (" + failures + "): is vexa-daemon serving TLS there (-p " +
                             std::to_string(settings.port) + "), and may this computer reach it?");
    return false;
}

void reportVerification(CFindings& findings, const pkcs11::LibrarySettings& settings, uint32_t flags,
                        const std::string& log)
{
    const std::string certificate = "the daemon's certificate ";
    if ((flags & MBEDTLS_X509_BADCERT_NOT_TRUSTED) != 0) {
        findings.fail("tls", certificate + "does not chain to the CA bundle " + settings.cacertbundle);
    } else {
        findings.ok("tls", certificate + "chains to the CA bundle " + settings.cacertbundle);
    }
    if ((flags & MBEDTLS_X509_BADCERT_CN_MISMATCH) != 0) {
        findings.fail("tls", certificate + "does not name " + settings.address +
                                 ": transport.address must be a name (or address) that the certificate holds");
    } else {
        findings.ok("tls", certificate + "names " + settings.address);
    }
    if ((flags & ~static_cast<uint32_t>(MBEDTLS_X509_BADCERT_NOT_TRUSTED | MBEDTLS_X509_BADCERT_CN_MISMATCH)) != 0) {
        findings.fail("tls", log);
    }
}

void checkHandshake(CFindings& findings, const pkcs11::LibrarySettings& settings)
{
    CCollectedLog log;
    corvel::TlsClientConnection connection(pkcs11::tlsClientOptions(settings), &log);
    const bool connected = connection.connect(settings.timeout);
    connection.close();
    if (connected || connection.verifyFlags() != 0) {
        reportVerification(findings, settings, connection.verifyFlags(), log.text());
        return;
    }
    std::string hint;
    if (log.text().find("ssl handshake returned") != std::string::npos) {
        hint = settings.clientcert.empty()
                   ? "; a daemon started with -cca refuses a client without a certificate: set "
                     "transport.clientcert and transport.clientkey"
                   : "; the daemon may refuse this client certificate: is it issued by the CA of its -cca file?";
    }
    findings.fail("tls", "no TLS connection: " + log.text() + hint);
}

}  // namespace

bool checkTls(CFindings& findings, const pkcs11::LibrarySettings& settings)
{
    checkFiles(findings, settings);
    const AddressList addresses = resolve(findings, settings);
    if (addresses == nullptr || !portAnswers(findings, settings, addresses.get())) {
        return false;
    }
    checkHandshake(findings, settings);
    return true;
}

}  // namespace vexa::tool::doctor
