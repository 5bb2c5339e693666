#include "UnixService.h"

#include <cstdio>
#include <cstdlib>

#include "CHIDTransport.h"
#include "DaemonLog.h"
#include "SignalPipe.h"
#include "SocketDirectory.h"
#include "SocketFiles.h"

namespace vexa::daemon {
namespace {

constexpr uint32_t kPortTimeout = 60000;
constexpr auto kScanInterval = std::chrono::seconds(1);
// Enough for one listing of the HID devices, with room to spare.
constexpr size_t kListingDescriptors = 16;

// The reserve's descriptors let the clean-up list the directory even when
// clients hold every other one.
[[noreturn]] void ExitOnSignal(int number, const std::string& socketDir, CDeviceRegistry& registry,
                               CDescriptorReserve& reserve)
{
    LogMessage(corvel::kLogInfo, "Signal %d received, cleaning up before exit...", number);
    reserve.lend([&] {
        registry.withdrawAll();
        RemoveStaleSockets(socketDir);
    });
    LogMessage(corvel::kLogInfo, "Done.");
    std::fflush(nullptr);
    // Device and client threads are detached; exit without waiting for them.
    std::exit(0);
}

}  // namespace

void CTokenScanner::scan(const std::optional<std::vector<std::string>>& serials)
{
    if (serials) {
        LogMessage(corvel::kLogTrace, "Scan: %zu attached.", serials->size());
    } else {
        LogMessage(corvel::kLogTrace, "Scan: listing failed.");
    }
    if (!serials) {
        LogMessage(m_failing ? corvel::kLogDebug : corvel::kLogError,
                   "Listing the attached tokens failed; scan skipped.");
        m_failing = true;
        return;
    }
    if (m_failing) {
        LogMessage(corvel::kLogInfo, "Listing the attached tokens works again.");
        m_failing = false;
    }
    m_registry.scan(*serials);
}

std::optional<std::vector<std::string>> listAttachedTokens(CDescriptorReserve& reserve)
{
    std::optional<std::vector<std::string>> serials;
    const bool whole =
        reserve.lend([&] { serials = corvel::CHIDTransport::listSerialNumbers(kTokenVendorId, kTokenProductId); });
    return whole ? serials : std::nullopt;
}

int RunUnixTransport(const DaemonSettings& settings)
{
    const std::string socketDir = settings.socketDir.empty() ? "/var/run" : settings.socketDir;
    CSocketDirectoryLock lock;
    if (!prepareSocketDirectory(socketDir) || !lock.acquire(socketDir)) {
        return 1;
    }
    CSignalPipe signals;
    RemoveStaleSockets(socketDir);
    const uint32_t timeout = settings.tokenTimeout != 0 ? settings.tokenTimeout : kPortTimeout;
    const uint32_t maxClients = settings.maxClients != 0 ? settings.maxClients : kDefaultUnixClients;
    CDeviceRegistry registry(
        socketDir, [timeout](const std::string& serial) { return createPort(serial, timeout); }, maxClients);
    CTokenScanner scanner(registry);
    CDescriptorReserve reserve(kListingDescriptors);
    for (;;) {
        scanner.scan(listAttachedTokens(reserve));
        if (const int number = signals.wait(kScanInterval)) {
            ExitOnSignal(number, socketDir, registry, reserve);
        }
    }
}

}  // namespace vexa::daemon
