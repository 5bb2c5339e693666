#include "DeviceRegistry.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <system_error>
#include <thread>

#include "DaemonLog.h"
#include "SocketFiles.h"
#include "TokenNames.h"

namespace vexa::daemon {
namespace {

// A device thread leaves its accept loop within 25 ms of its port becoming
// unusable, then lingers 500 ms.
constexpr auto kRetireWait = std::chrono::milliseconds(100);
constexpr auto kShutdownWait = std::chrono::seconds(5);

bool Ended(DeviceThread& device, std::chrono::milliseconds wait)
{
    return device.result.wait_for(wait) == std::future_status::ready;
}

bool Contains(const std::vector<std::string>& serials, const std::string& serial)
{
    return std::any_of(serials.begin(), serials.end(),
                       [&](const std::string& attached) { return corvel::sameSerial(attached, serial); });
}

}  // namespace

CDeviceRegistry::CDeviceRegistry(std::string socketDir, PortFactory openPort, size_t maxClients)
    : m_socketDir(std::move(socketDir)), m_openPort(std::move(openPort)), m_maxClients(maxClients)
{}

CDeviceRegistry::~CDeviceRegistry()
{
    stopAll();
    for (Entry& device : m_devices) {
        // A thread that does not end in time keeps its record: never free
        // what a running thread uses.
        if (!Ended(*device, kShutdownWait)) {
            (void)device.release();
        }
    }
}

void CDeviceRegistry::stopAll()
{
    for (const Entry& device : m_devices) {
        device->port->markUnusable();
    }
}

void CDeviceRegistry::withdrawAll()
{
    stopAll();
    for (const Entry& device : m_devices) {
        removeSocketFile(device->socketPath);
    }
}

void CDeviceRegistry::scan(const std::vector<std::string>& serials)
{
    for (const std::string& serial : serials) {
        serve(serial);
    }
    retireGone(serials);
    for (auto it = m_unservable.begin(); it != m_unservable.end();) {
        it = Contains(serials, *it) ? std::next(it) : m_unservable.erase(it);
    }
}

void CDeviceRegistry::serve(const std::string& serial)
{
    const auto entry = std::find_if(m_devices.begin(), m_devices.end(),
                                    [&](const Entry& device) { return corvel::sameSerial(device->serial, serial); });
    if (entry != m_devices.end()) {
        // A running thread is expected, so there is nothing to wait for (a
        // wait per served token would stretch every scan); an ended one is
        // set up afresh next scan.
        if (Ended(**entry, std::chrono::milliseconds(0))) {
            drop(entry);
        }
        return;
    }
    const std::string path = tokenSocketPath(m_socketDir, serial);
    if (!socketPathUsable(serial, path)) {
        return;
    }
    PortPtr port = m_openPort(serial);
    if (port == nullptr) {
        LogMessage(corvel::kLogError, "Could not open USB device %s.", serial.c_str());
        return;
    }
    start(serial, std::move(port));
}

bool CDeviceRegistry::socketPathUsable(const std::string& serial, const std::string& path)
{
    if (!socketPathFits(path)) {
        reportUnservable(serial, corvel::kLogError,
                         "Socket path " + path + " is longer than 107 bytes; token " + serial + " is not served.");
        return false;
    }
    if (contentOf(path) == PathContent::Other) {
        reportUnservable(serial, corvel::kLogWarn,
                         path + " is not a socket; left alone, and " + serial + " is not served.");
        return false;
    }
    m_unservable.erase(serial);
    return true;
}

void CDeviceRegistry::reportUnservable(const std::string& serial, int level, const std::string& text)
{
    if (m_unservable.insert(serial).second) {
        LogMessage(level, "%s", text.c_str());
    }
}

void CDeviceRegistry::start(const std::string& serial, PortPtr port)
{
    auto device = std::make_unique<DeviceThread>();
    device->serial = serial;
    device->socketPath = tokenSocketPath(m_socketDir, serial);
    device->port = std::move(port);
    device->clients = std::make_shared<CClientConnections>(m_maxClients);
    std::packaged_task<int(DeviceThread*)> task(RunDeviceServer);
    device->result = task.get_future();
    LogMessage(corvel::kLogInfo, "Starting new device thread for %s", serial.c_str());
    try {
        std::thread(std::move(task), device.get()).detach();
    } catch (const std::system_error& e) {
        LogMessage(corvel::kLogError, "Cannot start the device thread for %s: %s", serial.c_str(), e.what());
        return;
    }
    m_devices.push_back(std::move(device));
}

void CDeviceRegistry::retireGone(const std::vector<std::string>& serials)
{
    for (auto it = m_devices.begin(); it != m_devices.end();) {
        DeviceThread& device = **it;
        if (Contains(serials, device.serial)) {
            ++it;
            continue;
        }
        device.port->markUnusable();
        if (!Ended(device, kRetireWait)) {
            ++it;  // looked at again next scan
            continue;
        }
        LogMessage(corvel::kLogInfo, "Device removed: %s", device.serial.c_str());
        it = drop(it);
    }
}

// The port lives on while connected clients hold it. Whatever ended its
// thread (a failed accept leaves it usable), it goes out of service here: its
// clients must not reach the token beside the port that replaces it, and its
// transport closes with the last of them.
std::vector<CDeviceRegistry::Entry>::iterator CDeviceRegistry::drop(std::vector<Entry>::iterator entry)
{
    (*entry)->port->markUnusable();
    (*entry)->clients->hangUpAll();
    removeSocketFile((*entry)->socketPath);
    return m_devices.erase(entry);
}

}  // namespace vexa::daemon
