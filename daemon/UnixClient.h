#pragma once
#include "USBPort.h"

namespace vexa::daemon {

// Serves one accepted Unix-socket connection until the client leaves or a
// step fails; owns and closes the descriptor. Runs on its own thread.
void HandleUnixClient(int fd, CThreadSafeUSBPort* port);

}  // namespace vexa::daemon
