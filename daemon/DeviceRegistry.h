#pragma once
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "DaemonSettings.h"
#include "DeviceServer.h"

namespace vexa::daemon {

// The tokens served on Unix sockets, one device thread each. Only the thread
// that owns the registry calls it.
class CDeviceRegistry {
public:
    // Opens a token's port; null when the token cannot be opened.
    using PortFactory = std::function<PortPtr(const std::string& serial)>;

    // maxClients: connections each token's socket takes at once.
    CDeviceRegistry(std::string socketDir, PortFactory openPort, size_t maxClients = kDefaultUnixClients);
    // Stops every device thread and waits for them.
    ~CDeviceRegistry();
    CDeviceRegistry(const CDeviceRegistry&) = delete;
    CDeviceRegistry& operator=(const CDeviceRegistry&) = delete;

    // One scan with the serials now attached, in ascending order: starts
    // threads for new tokens, retires the threads of gone tokens and those
    // that ended. Serials that differ only in case name the same token.
    void scan(const std::vector<std::string>& serials);

    // At exit: takes every token out of service and removes its socket file,
    // whatever its name.
    void withdrawAll();

private:
    using Entry = std::unique_ptr<DeviceThread>;

    // Makes every device thread leave its accept loop.
    void stopAll();
    void serve(const std::string& serial);
    void start(const std::string& serial, PortPtr port);
    void retireGone(const std::vector<std::string>& serials);
    std::vector<Entry>::iterator drop(std::vector<Entry>::iterator entry);
    // Whether the token can have a socket at path; reports why not once
    // while the token stays attached.
    bool socketPathUsable(const std::string& serial, const std::string& path);
    void reportUnservable(const std::string& serial, int level, const std::string& text);

    const std::string m_socketDir;
    const PortFactory m_openPort;
    const size_t m_maxClients;
    std::vector<Entry> m_devices;        // in the order the tokens were first seen
    std::set<std::string> m_unservable;  // attached tokens reported as not served
};

}  // namespace vexa::daemon
