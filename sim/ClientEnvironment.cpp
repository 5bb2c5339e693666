#include <signal.h>

#include <cstdlib>

#include "Modes.h"
#include "Simulator.h"

namespace vexa::sim {

std::vector<std::pair<std::string, std::string>> clientEnvironment(const CSimulator& simulator)
{
    std::string preload = kPreloadLibrary;
    const char* inherited = std::getenv("LD_PRELOAD");
    if (inherited && *inherited) {
        preload += std::string(":") + inherited;
    }
    return {{"LD_PRELOAD", preload}, {"UMOCKDEV_DIR", simulator.rootDir()}};
}

void blockModeSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGCHLD);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

}  // namespace vexa::sim
