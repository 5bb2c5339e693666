#pragma once
#include "USBPort.h"

namespace vexa::daemon {

// Serves one accepted Unix-socket connection until the client leaves or a
// step fails; owns and closes the descriptor. Runs on its own thread. The
// connection belongs to the process that made it (its peer credentials), as
// do the token sessions it opens.
void HandleUnixClient(int fd, CThreadSafeUSBPort* port);

}  // namespace vexa::daemon
