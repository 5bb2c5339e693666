#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>

#include "Modes.h"
#include "Options.h"
#include "ScratchState.h"
#include "SimLog.h"
#include "Simulator.h"

using namespace vexa::sim;

namespace {

constexpr int kUsageStatus = 2;

bool underPreload()
{
    const char* preload = std::getenv("LD_PRELOAD");
    return preload && std::strstr(preload, "libumockdev-preload");
}

}  // namespace

// SoftHSM2 2.6.1 loses 37 bytes at each EdDSA C_SignInit (a key string it
// never frees). That leak is SoftHSM2's: LeakSanitizer, when it is built in,
// leaves out what SoftHSM2 and the libcrypto it calls allocate (the stack of
// an allocation inside libcrypto ends there, so SoftHSM2 is not always seen
// on it). Without the sanitizer nothing calls this.
extern "C" const char* __lsan_default_suppressions() { return "leak:libsofthsm2.so\nleak:libcrypto.so\n"; }

int main(int argc, char** argv)
{
    const char* program = "vexa-token-sim";
    SimOptions options;
    try {
        options = parseCommandLine(argc, argv);
        if (options.help) {
            std::fputs(usageText(program).c_str(), stdout);
            return 0;
        }
        checkFirmwareConfig(options.firmware);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", program, e.what(), program);
        return kUsageStatus;
    }
    if (underPreload()) {
        // Its own sysfs and /dev accesses would go to another testbed.
        std::fprintf(stderr, "%s: must not run under libumockdev-preload (remove it from LD_PRELOAD)\n", program);
        return 1;
    }
    setVerbose(options.verbose);
    blockModeSignals();
    try {
        // Outlives the simulator, whose tokens keep their files in it.
        std::unique_ptr<engine::CScratchState> scratch;
        if (options.firmware.kind == FirmwareKind::Pkcs11 && options.firmware.stateDir.empty()) {
            scratch = std::make_unique<engine::CScratchState>();
            options.firmware.stateDir = scratch->path();
        }
        CSimulator simulator(options);
        return options.command.empty() ? runServeMode(simulator) : runCommandMode(simulator, options.command);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", program, e.what());
        return 1;
    }
}
