#pragma once
#include "USBPort.h"

namespace vexa::daemon {

// Serves one accepted Unix-socket connection until the client leaves or a
// step fails; the caller closes the descriptor.
void ServeUnixClient(int fd, CThreadSafeUSBPort* port);
// The same, then closes the descriptor. Runs on its own thread.
void HandleUnixClient(int fd, CThreadSafeUSBPort* port);

}  // namespace vexa::daemon
