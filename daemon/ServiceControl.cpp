#include "ServiceControl.h"

#include <cstdio>
#include <cstdlib>

#include "DaemonLog.h"

namespace vexa::daemon {
namespace {

void RunShellCommand(const char* command)
{
    // The child writes to the same streams; what we buffered must come first.
    std::fflush(nullptr);
    (void)std::system(command);
}

}  // namespace

int StartService()
{
    RunShellCommand("sudo systemctl start vexad");
    return 0;
}

int StopService()
{
    RunShellCommand("sudo systemctl stop vexad");
    LogMessage(corvel::kLogInfo, "Service stopped.");
    return 0;
}

void UninstallService() { RunShellCommand("sudo systemctl disable vexad"); }

void InstallService()
{
    RunShellCommand("sudo systemctl daemon-reload");
    RunShellCommand("sudo systemctl enable vexad.service");
}

}  // namespace vexa::daemon
