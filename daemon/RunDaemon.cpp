#include <cstdlib>

#include "DaemonMain.h"
#include "Log.h"
#include "Version.h"

namespace vexa::daemon {

int RunDaemon(const DaemonSettings& settings, const std::string& serial, const std::string& certFile,
              const std::string& caFile, const std::string& keyFile, const std::string& bindAddress,
              const std::string& port)
{
    LogMessage(corvel::kLogInfo, "vexa-daemon V%d.%d starting.", kVersionMajor, kVersionMinor);
    const char* keyPassword = std::getenv("VEXA_KEY_PASS");
    if (!settings.transport.empty())
        LogMessage(corvel::kLogInfo, "Using transport: %s", settings.transport.c_str());
    else
        LogMessage(corvel::kLogInfo, "Device SN: %s", serial.c_str());

    (void)keyPassword, (void)certFile, (void)caFile, (void)keyFile, (void)bindAddress, (void)port;
    LogMessage(corvel::kLogError, "Transport \"%s\" is not available in this build.", settings.transport.c_str());
    return 1;
}

}  // namespace vexa::daemon
