#pragma once
#include <string>
#include <vector>

#include "FirmwareFactory.h"
#include "TokenDescription.h"

namespace vexa::sim {

struct SimOptions {
    std::vector<TokenDescription> tokens;
    FirmwareConfig firmware;
    bool usbTiming = false;
    std::string traceFile;
    bool verbose = false;
    bool help = false;
    // Program and arguments after "--"; empty means serve mode.
    std::vector<std::string> command;
};

// Throws UsageError on bad input. Without --token there is one default token.
SimOptions parseCommandLine(int argc, const char* const* argv);
std::string usageText(const std::string& program);

}  // namespace vexa::sim
