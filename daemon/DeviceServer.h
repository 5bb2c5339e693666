#pragma once
#include <future>
#include <memory>
#include <string>

#include "ClientConnections.h"
#include "USBPort.h"

namespace vexa::daemon {

// The registry's record of one served token.
struct DeviceThread {
    std::future<int> result;  // ready once RunDeviceServer has returned
    std::string serial;
    std::string socketPath;
    int listenSocket = -1;  // created, used and closed by the device thread alone
    PortPtr port;
    std::shared_ptr<CClientConnections> clients;  // never null
};

// Results of RunDeviceServer.
constexpr int kServerDone = 0;
constexpr int kServerRemoveFailed = -1;
constexpr int kServerBindFailed = -2;
constexpr int kServerListenFailed = -3;
constexpr int kServerSocketFailed = -4;

// Listens on the token's socket file (mode 0660) and starts a client thread
// per connection until the port becomes unusable; then hangs up the clients
// and removes the file. A connection beyond the clients' limit is closed at
// once. A file at the socket path that is not a socket stays, and the token
// is not served (kServerRemoveFailed).
int RunDeviceServer(DeviceThread* device);

}  // namespace vexa::daemon
