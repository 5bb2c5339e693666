#pragma once

namespace vexa::daemon {

// Each runs fixed "sudo systemctl ..." command lines through the shell and
// waits for them; their results are not examined. Both return 0.
int StartService();
int StopService();
void UninstallService();
void InstallService();

}  // namespace vexa::daemon
