#include "TransportKinds.h"

#include <dirent.h>
#include <sys/stat.h>

#include <memory>
#include <string>

#include "CContext.h"
#include "CHIDTransport.h"
#include "CUnixTransport.h"
#include "TCPTransport.h"

namespace vexa::pkcs11 {
namespace {

constexpr uint32_t kHidOpenTimeout = 10000;
constexpr const char* kSocketPrefix = "vexa.";
constexpr size_t kSocketPrefixLength = 5;

std::vector<SerialId> listHidSerials(CContext& context)
{
    std::vector<SerialId> serials;
    const LibrarySettings& settings = context.settings();
    const auto listed = corvel::CHIDTransport::listSerialNumbers(settings.vid, settings.pid);
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
    return serials;
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
    std::vector<SerialId> serials;
    const std::string& directory = context.settings().sockdir;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(directory.c_str()), ::closedir);
    if (dir == nullptr) {
        context.logFormat(corvel::kLogWarn, "Cannot read socket directory %s", directory.c_str());
        return serials;
    }
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string_view name(entry->d_name);
        if (name.size() < kSocketPrefixLength + kSerialTextLength ||
            name.substr(0, kSocketPrefixLength) != kSocketPrefix || !isSocket(directory, *entry)) {
            continue;
        }
        if (const auto id = serialIdFromText(name.substr(kSocketPrefixLength))) {
            serials.push_back(*id);
        }
    }
    return serials;
}

std::unique_ptr<corvel::CTransport> createUnixTransport(SerialId serial, CContext& context)
{
    const std::string path = context.settings().sockdir + "/" + kSocketPrefix + serialIdToText(serial) + ".sock";
    return std::make_unique<corvel::CUnixTransport>(path, &context);
}

std::vector<SerialId> listTlsSerials(CContext&) { return {0}; }

std::unique_ptr<corvel::CTransport> createTlsTransport(SerialId serial, CContext& context)
{
    if (serial != 0) {
        return nullptr;
    }
    const LibrarySettings& settings = context.settings();
    return std::make_unique<corvel::TCPTransport>(settings.address, settings.port, settings.cacertbundle, &context);
}

}  // namespace

TransportKind hidTransportKind() { return {createHidTransport, listHidSerials}; }

TransportKind unixTransportKind() { return {createUnixTransport, listUnixSerials}; }

TransportKind tlsTransportKind() { return {createTlsTransport, listTlsSerials}; }

}  // namespace vexa::pkcs11
