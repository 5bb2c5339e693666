#include "TransportKinds.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <string>

#include "CContext.h"
#include "CHIDTransport.h"
#include "CUnixTransport.h"
#include "TCPTransport.h"
#include "TokenNames.h"

namespace vexa::pkcs11 {
namespace {

constexpr uint32_t kHidOpenTimeout = 10000;
constexpr const char* kSocketPrefix = "vexa.";
constexpr size_t kSocketPrefixLength = 5;

// Slots follow the serial numbers' text, whichever transport lists them.
void sortBySerialText(std::vector<SerialId>& serials)
{
    std::sort(serials.begin(), serials.end(),
              [](SerialId a, SerialId b) { return serialIdToText(a) < serialIdToText(b); });
    serials.erase(std::unique(serials.begin(), serials.end()), serials.end());
}

std::vector<SerialId> listHidSerials(CContext& context)
{
    return listHidTokens(context.settings().vid, context.settings().pid);
}

std::unique_ptr<corvel::CTransport> createHidTransport(SerialId serial, CContext& context)
{
    auto transport = std::make_unique<corvel::CHIDTransport>();
    transport->logTarget = &context;
    transport->setTimeout(kHidOpenTimeout);
    transport->setSerialNumber(serialIdToText(serial).c_str());
    transport->setUsagePage(context.settings().usagePage);
    return transport;
}

bool isSocket(const std::string& directory, const dirent& entry)
{
    if (entry.d_type != DT_UNKNOWN) {
        return entry.d_type == DT_SOCK;
    }
    struct stat info {};
    const std::string path = directory + "/" + entry.d_name;
    return ::lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

std::vector<SerialId> listUnixSerials(CContext& context)
{
    return listSocketTokens(context.settings().sockdir, context);
}

std::unique_ptr<corvel::CTransport> createUnixTransport(SerialId serial, CContext& context)
{
    auto transport = std::make_unique<corvel::CUnixTransport>(socketPath(context.settings().sockdir, serial), &context);
    if (const auto& trusted = context.settings().trustedUsers) {
        transport->setTrustedUsers(*trusted);
    }
    return transport;
}

std::vector<SerialId> listTlsSerials(CContext&) { return {0}; }

std::unique_ptr<corvel::CTransport> createTlsTransport(SerialId serial, CContext& context)
{
    if (serial != 0) {
        return nullptr;
    }
    return std::make_unique<corvel::TCPTransport>(tlsClientOptions(context.settings()), &context);
}

}  // namespace

TransportKind hidTransportKind() { return {createHidTransport, listHidSerials}; }

TransportKind unixTransportKind() { return {createUnixTransport, listUnixSerials}; }

TransportKind tlsTransportKind() { return {createTlsTransport, listTlsSerials}; }

std::vector<SerialId> listHidTokens(uint16_t vid, uint16_t pid)
{
    std::vector<SerialId> serials;
    const auto listed = corvel::CHIDTransport::listSerialNumbers(vid, pid);
    if (!listed) {
        return serials;
    }
    for (const std::string& serial : *listed) {
        if (serial.size() != kSerialTextLength) {
            continue;
        }
        if (const auto id = serialIdFromText(serial)) {
            serials.push_back(*id);
        }
    }
    sortBySerialText(serials);
    return serials;
}

std::vector<SerialId> listSocketTokens(const std::string& sockdir, corvel::ILogTarget& log)
{
    std::vector<SerialId> serials;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(sockdir.c_str()), ::closedir);
    if (dir == nullptr) {
        log.logFormat(corvel::kLogWarn, "Cannot read socket directory %s", sockdir.c_str());
        return serials;
    }
    // Only names the factory builds again from the serial: a listed token is
    // one the library can reach.
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string_view name(entry->d_name);
        if (!corvel::isTokenSocketName(name) || !isSocket(sockdir, *entry)) {
            continue;
        }
        if (const auto id = serialIdFromText(name.substr(kSocketPrefixLength))) {
            serials.push_back(*id);
        }
    }
    sortBySerialText(serials);
    return serials;
}

std::string socketPath(const std::string& sockdir, SerialId serial)
{
    return sockdir + "/" + kSocketPrefix + serialIdToText(serial) + ".sock";
}

corvel::TlsClientOptions tlsClientOptions(const LibrarySettings& settings)
{
    corvel::TlsClientOptions options{settings.address, settings.port, settings.cacertbundle, "", ""};
    if (!settings.clientcert.empty() && !settings.clientkey.empty()) {
        options.certFile = settings.clientcert;
        options.keyFile = settings.clientkey;
    }
    return options;
}

}  // namespace vexa::pkcs11
