#include <cstdlib>

#include "DaemonLog.h"
#include "DaemonMain.h"
#include "TlsListener.h"
#include "UnixService.h"
#include "Version.h"

namespace vexa::daemon {

int RunDaemon(const DaemonSettings& settings, const std::string& serial, const std::string& certFile,
              const std::string& caFile, const std::string& keyFile, const std::string& bindAddress,
              const std::string& port, const std::string& clientCaFile)
{
    LogMessage(corvel::kLogInfo, "vexa-daemon V%d.%d starting.", kVersionMajor, kVersionMinor);
    const char* keyPassword = std::getenv("VEXA_KEY_PASS");
    if (!settings.transport.empty()) {
        LogMessage(corvel::kLogInfo, "Using transport: %s", settings.transport.c_str());
    } else {
        LogMessage(corvel::kLogInfo, "Device SN: %s", serial.c_str());
    }

    if (settings.transport == "unix") {
        return RunUnixTransport(settings);
    }

    TlsSettings tls;
    tls.serial = serial;
    tls.certFile = certFile;
    tls.caFile = caFile;
    tls.keyFile = keyFile;
    tls.bindAddress = bindAddress;
    tls.port = port;
    tls.clientCaFile = clientCaFile;
    tls.keyPassword = keyPassword;
    if (settings.tokenTimeout != 0) {
        tls.tokenTimeout = settings.tokenTimeout;
    }
    if (settings.maxClients != 0) {
        tls.maxClients = settings.maxClients;
    }
    return runTlsTransport(tls);
}

}  // namespace vexa::daemon
