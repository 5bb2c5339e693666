#include "TransportKinds.h"

#include <memory>
#include <string>

#include "CHIDTransport.h"
#include "CUnixTransport.h"
#include "TCPTransport.h"

namespace vexa::pkcs11 {
namespace {

constexpr uint32_t kHidOpenTimeout = 10000;

std::vector<SerialId> listHidSerials(const LibrarySettings& settings, corvel::ILogTarget&)
{
    return listHidTokens(settings.vid, settings.pid);
}

std::unique_ptr<corvel::CTransport> createHidTransport(SerialId serial, const LibrarySettings& settings,
                                                       corvel::ILogTarget& log)
{
    auto transport = std::make_unique<corvel::CHIDTransport>();
    transport->logTarget = &log;
    transport->setTimeout(kHidOpenTimeout);
    transport->setSerialNumber(serialIdToText(serial).c_str());
    transport->setUsagePage(settings.usagePage);
    return transport;
}

std::vector<SerialId> listUnixSerials(const LibrarySettings& settings, corvel::ILogTarget& log)
{
    return listSocketTokens(settings.sockdir, log);
}

std::unique_ptr<corvel::CTransport> createUnixTransport(SerialId serial, const LibrarySettings& settings,
                                                        corvel::ILogTarget& log)
{
    auto transport = std::make_unique<corvel::CUnixTransport>(socketPath(settings.sockdir, serial), &log);
    if (const auto& trusted = settings.trustedUsers) {
        transport->setTrustedUsers(*trusted);
    }
    return transport;
}

std::vector<SerialId> listTlsSerials(const LibrarySettings&, corvel::ILogTarget&) { return {0}; }

std::unique_ptr<corvel::CTransport> createTlsTransport(SerialId serial, const LibrarySettings& settings,
                                                       corvel::ILogTarget& log)
{
    if (serial != 0) {
        return nullptr;
    }
    return std::make_unique<corvel::TCPTransport>(tlsClientOptions(settings), &log);
}

}  // namespace

TransportKind hidTransportKind() { return {createHidTransport, listHidSerials}; }

TransportKind unixTransportKind() { return {createUnixTransport, listUnixSerials}; }

TransportKind tlsTransportKind() { return {createTlsTransport, listTlsSerials}; }

}  // namespace vexa::pkcs11
