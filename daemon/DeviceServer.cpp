#include "DeviceServer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <system_error>
#include <thread>

#include "DaemonLog.h"
#include "DescriptorReserve.h"
#include "SocketFiles.h"
#include "UnixClientHandler.h"

namespace vexa::daemon {
namespace {

constexpr mode_t kSocketMode = 0660;
constexpr int kBacklog = 5;
// How often the accept loop looks at the port's usable flag.
constexpr int kPollMilliseconds = 25;
// Pauses after an accept that found no resources for the client: doubling
// from the first to the last, so a pending client that cannot be taken does
// not spin the thread.
constexpr int kFirstBackOffMilliseconds = 25;
constexpr int kLastBackOffMilliseconds = 1000;

// Binds fd to path. The mode is set on the socket before bind, so the file
// never appears with wider permissions than 0660 whatever the umask.
bool BindSocketFile(int fd, const std::string& path)
{
    if (!socketPathFits(path)) {
        return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (fchmod(fd, kSocketMode) != 0) {
        return false;
    }
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return false;
    }
    (void)chmod(path.c_str(), kSocketMode);  // undo a umask that took group rights away
    return true;
}

// A socket left at the path is a leftover or someone else's listener in the
// daemon's place; anything else is not the daemon's to delete.
bool ClearSocketPath(const DeviceThread& device)
{
    if (contentOf(device.socketPath) == PathContent::Other) {
        LogMessage(corvel::kLogWarn, "%s is not a socket; left alone, and %s is not served.", device.socketPath.c_str(),
                   device.serial.c_str());
        return false;
    }
    if (unlink(device.socketPath.c_str()) != 0 && errno != ENOENT) {
        LogMessage(corvel::kLogError, "Failed to remove socket file.");
        return false;
    }
    return true;
}

int OpenListener(DeviceThread& device)
{
    if (!ClearSocketPath(device)) {
        return kServerRemoveFailed;
    }
    {
        std::shared_lock<std::shared_mutex> opening(descriptorOpeners());
        device.listenSocket = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    }
    if (device.listenSocket < 0) {
        LogMessage(corvel::kLogError, "Failed to create socket.");
        return kServerSocketFailed;
    }
    if (!BindSocketFile(device.listenSocket, device.socketPath)) {
        LogMessage(corvel::kLogError, "Failed to bind using socket file %s", device.socketPath.c_str());
        return kServerBindFailed;
    }
    if (listen(device.listenSocket, kBacklog) != 0) {
        LogMessage(corvel::kLogError, "Failed to listen on socket.");
        return kServerListenFailed;
    }
    (void)fcntl(device.listenSocket, F_SETFL, fcntl(device.listenSocket, F_GETFL) | O_NONBLOCK);
    return kServerDone;
}

void StartClientThread(int client, const DeviceThread& device)
{
    // The copies keep port and connections alive for as long as the client is served.
    const PortPtr port = device.port;
    const std::shared_ptr<CClientConnections> clients = device.clients;
    try {
        std::thread([client, port, clients] {
            serveUnixClient(client, port.get());
            clients->leave(client);
            close(client);
        }).detach();
    } catch (const std::system_error& e) {
        LogMessage(corvel::kLogError, "Cannot start a client thread for %s: %s", port->serial().c_str(), e.what());
        clients->leave(client);
        close(client);
    }
}

// Whether the client was taken; one over the token's limit is closed at once.
// Refusals are reported when they begin, not one line per connection.
bool Admit(int client, const DeviceThread& device, bool& refusing)
{
    if (device.clients->admit(client)) {
        refusing = false;
        return true;
    }
    if (!refusing) {
        LogMessage(corvel::kLogWarn, "%s already has %zu clients, its limit; further connections are closed.",
                   device.serial.c_str(), device.clients->limit());
        refusing = true;
    }
    close(client);
    return false;
}

// Out of descriptors or memory: the process, not the token, is short of
// something, and clients that leave give it back.
bool ResourcesExhausted(int error) { return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM; }

// Sleeps one back-off step, in poll intervals so that a port that becomes
// unusable still ends the loop promptly.
void BackOff(const DeviceThread& device, int milliseconds)
{
    for (int slept = 0; slept < milliseconds && device.port->usable(); slept += kPollMilliseconds) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMilliseconds));
    }
}

// Waits up to one poll interval for a client; a client arriving sooner is
// taken at once.
void AcceptClients(DeviceThread& device)
{
    int backOff = 0;  // milliseconds; 0 while accepts find what they need
    bool refusing = false;
    while (device.port->usable()) {
        pollfd ready{device.listenSocket, POLLIN, 0};
        if (poll(&ready, 1, kPollMilliseconds) <= 0) {
            continue;
        }
        int client = -1;
        int error = 0;
        {
            std::shared_lock<std::shared_mutex> opening(descriptorOpeners());
            // Accepted sockets do not inherit O_NONBLOCK: the client's is blocking.
            client = accept4(device.listenSocket, nullptr, nullptr, SOCK_CLOEXEC);
            error = errno;
        }
        if (client >= 0) {
            if (backOff != 0) {
                LogMessage(corvel::kLogInfo, "Accepting clients on %s again.", device.socketPath.c_str());
                backOff = 0;
            }
            if (Admit(client, device, refusing)) {
                StartClientThread(client, device);
            }
        } else if (ResourcesExhausted(error)) {
            if (backOff == 0) {
                LogMessage(corvel::kLogError, "accept failed on %s: %s; trying again.", device.socketPath.c_str(),
                           std::strerror(error));
            }
            backOff = backOff == 0 ? kFirstBackOffMilliseconds : std::min(2 * backOff, kLastBackOffMilliseconds);
            BackOff(device, backOff);
        } else if (error != EAGAIN && error != EWOULDBLOCK && error != EINTR && error != ECONNABORTED) {
            LogMessage(corvel::kLogError, "accept failed on %s: %s", device.socketPath.c_str(), std::strerror(error));
            break;
        }
    }
}

}  // namespace

int RunDeviceServer(DeviceThread* device)
{
    const int opened = OpenListener(*device);
    if (opened != kServerDone) {
        if (device->listenSocket >= 0) {
            close(device->listenSocket);
        }
        device->listenSocket = -1;
        return opened;
    }
    AcceptClients(*device);
    close(device->listenSocket);
    device->listenSocket = -1;
    LogMessage(corvel::kLogInfo, "Server socket closed for %s", device->serial.c_str());
    if (!device->port->usable()) {
        device->clients->hangUpAll();
    }
    removeSocketFile(device->socketPath);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    return kServerDone;
}

}  // namespace vexa::daemon
