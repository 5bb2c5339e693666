#pragma once
#include "Settings.h"

namespace vexa::daemon {

// Serves every attached token on its own socket in the socket directory
// ("/var/run" when the setting is empty), rescanning every second. Ends the
// process with status 0 on an interrupt or termination signal.
[[noreturn]] void RunUnixTransport(const DaemonSettings& settings);

}  // namespace vexa::daemon
