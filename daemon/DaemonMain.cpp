#include "DaemonMain.h"

#include <cstdio>

#include "ConfigFile.h"
#include "DaemonLog.h"
#include "ServiceControl.h"
#include "Version.h"

namespace vexa::daemon {
namespace {

// Service words act before the configuration is read. Returns true when one
// was found.
bool RunServiceWord(const Words& words)
{
    if (hasWord(words, "start")) {
        StartService();
    } else if (hasWord(words, "stop")) {
        StopService();
    } else if (hasWord(words, "restart")) {
        StopService();
        StartService();
    } else if (hasWord(words, "uninstall")) {
        UninstallService();
    } else {
        return false;
    }
    return true;
}

}  // namespace

int exitStatus(int result)
{
    const int status = result & 0xFF;
    return result != 0 && status == 0 ? 1 : status;
}

void PrintUsage()
{
    std::printf("vexa-daemon V%d.%d\n", kVersionMajor, kVersionMinor);
    std::printf(
        "usage: vexa-daemon [stop|start|restart|uninstall] [-t <transport>] [-sd <unix socket dir>] "
        "[-d <device SN>] [install] [-p <port>] [-i <bind address>] [-key <key file>] [-crt <crt file>] "
        "[-ca <ca file>] [-cca <client ca file>]\n");
    std::printf("\tUse the VEXA_KEY_PASS environment variable to specify the key file password if required.\n");
    std::fflush(stdout);
}

int daemonMain(const Words& words)
{
    if (RunServiceWord(words)) {
        return 0;
    }

    nlohmann::json file;
    if (!LoadConfig(GetConfigDir(), file)) {
        file = nullptr;
        if (!hasWord(words, "-t") && !hasWord(words, "-d")) {
            PrintUsage();
            return 1;
        }
    }

    DaemonConfig config;
    std::string error;
    if (!mergeSettings(file, words, config, error)) {
        LogMessage(corvel::kLogError, "%s", error.c_str());
        return 1;
    }
    setLogThreshold(config.logThreshold);

    if (hasWord(words, "install")) {
        InstallService();
        return 0;
    }
    return exitStatus(RunDaemon(config.daemon, config.serial, config.certFile, config.caFile, config.keyFile,
                                config.bindAddress, config.port, config.clientCaFile));
}

}  // namespace vexa::daemon
