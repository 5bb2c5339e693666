#include "UnixTransport.h"

#include <cstdio>
#include <cstdlib>

#include "CHIDTransport.h"
#include "DaemonLog.h"
#include "SignalPipe.h"
#include "SocketFiles.h"

namespace vexa::daemon {
namespace {

constexpr uint32_t kPortTimeout = 60000;
constexpr auto kScanInterval = std::chrono::seconds(1);

[[noreturn]] void ExitOnSignal(int number, const std::string& socketDir)
{
    LogMessage(corvel::kLogInfo, "Signal %d received, cleaning up before exit...", number);
    RemoveStaleSockets(socketDir);
    LogMessage(corvel::kLogInfo, "Done.");
    std::fflush(nullptr);
    // Device and client threads are detached; exit without waiting for them.
    std::exit(0);
}

}  // namespace

void ScanTokens(CDeviceRegistry& registry, const std::optional<std::vector<std::string>>& serials)
{
    if (!serials) {
        LogMessage(corvel::kLogError, "Listing the attached tokens failed; scan skipped.");
        return;
    }
    registry.scan(*serials);
}

void RunUnixTransport(const DaemonSettings& settings)
{
    const std::string socketDir = settings.socketDir.empty() ? "/var/run" : settings.socketDir;
    CSignalPipe signals;
    RemoveStaleSockets(socketDir);
    const uint32_t timeout = settings.tokenTimeout != 0 ? settings.tokenTimeout : kPortTimeout;
    CDeviceRegistry registry(socketDir, [timeout](const std::string& serial) { return CreatePort(serial, timeout); });
    for (;;) {
        ScanTokens(registry, corvel::CHIDTransport::listSerialNumbers(kTokenVendorId, kTokenProductId));
        if (const int number = signals.wait(kScanInterval)) {
            ExitOnSignal(number, socketDir);
        }
    }
}

}  // namespace vexa::daemon
