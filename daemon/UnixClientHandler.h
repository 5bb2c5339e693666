#pragma once
#include "USBPort.h"

namespace vexa::daemon {

// Serves one accepted Unix-socket connection until the client leaves or a
// step fails; the caller closes the descriptor. The connection belongs to
// the process that made it (its peer credentials), as do the token sessions
// it opens.
void serveUnixClient(int fd, CThreadSafeUSBPort* port);
// The same, then closes the descriptor. Runs on its own thread.
void HandleUnixClient(int fd, CThreadSafeUSBPort* port);

}  // namespace vexa::daemon
