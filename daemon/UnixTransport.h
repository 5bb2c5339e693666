#pragma once
#include <optional>
#include <string>
#include <vector>

#include "DaemonSettings.h"
#include "DeviceRegistry.h"

namespace vexa::daemon {

// Serves every attached token on its own socket in the socket directory
// ("/var/run" when the setting is empty), rescanning every second. Ends the
// process with status 0 on an interrupt or termination signal.
[[noreturn]] void RunUnixTransport(const DaemonSettings& settings);

// One scan with a serial-number list as listSerialNumbers returns it. No list
// means the enumeration itself failed, which is not the same as no tokens:
// the scan is skipped with an ERROR line and every token stays served.
void ScanTokens(CDeviceRegistry& registry, const std::optional<std::vector<std::string>>& serials);

}  // namespace vexa::daemon
