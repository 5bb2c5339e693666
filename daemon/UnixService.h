#pragma once
#include <optional>
#include <string>
#include <vector>

#include "DaemonSettings.h"
#include "DescriptorReserve.h"
#include "DeviceRegistry.h"

namespace vexa::daemon {

// Serves every attached token on its own socket in the socket directory
// ("/var/run" when the setting is empty), rescanning every second. Ends the
// process with status 0 on an interrupt or termination signal. Returns 1
// only when it cannot start: a socket directory that cannot be trusted, or
// one that another daemon serves.
int RunUnixTransport(const DaemonSettings& settings);

// Feeds the registry one listing after another, each as listSerialNumbers
// returns it. No list means the listing itself failed, which is not the same
// as no tokens: the scan is skipped and every token stays served. The ERROR
// line comes when listing starts failing, not at every scan.
class CTokenScanner {
public:
    explicit CTokenScanner(CDeviceRegistry& registry) : m_registry(registry) {}
    void scan(const std::optional<std::vector<std::string>>& serials);

private:
    CDeviceRegistry& m_registry;
    bool m_failing = false;
};

// The serial numbers of the attached tokens, listed with the reserve's
// descriptors free; nothing when the listing failed or the reserve was not
// whole, since a listing short of descriptors finds too few tokens.
std::optional<std::vector<std::string>> listAttachedTokens(CDescriptorReserve& reserve);

}  // namespace vexa::daemon
