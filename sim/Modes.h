#pragma once
#include <string>
#include <vector>

namespace vexa::sim {

class CSimulator;

inline constexpr const char* kPreloadLibrary = "libumockdev-preload.so.0";
inline constexpr const char* kControlVariable = "VEXA_SIM_CONTROL";

// Environment a program needs to see the tokens: LD_PRELOAD (the umockdev
// preload in front of any inherited value) and UMOCKDEV_DIR.
std::vector<std::pair<std::string, std::string>> clientEnvironment(const CSimulator& simulator);

// Blocks the signals the modes wait for; call before any thread starts so
// every thread inherits the mask.
void blockModeSignals();

// Prints the environment, answers control lines from standard input until it
// ends or SIGINT/SIGTERM arrives. Returns the exit status.
int runServeMode(CSimulator& simulator);

// Runs the command under the tokens, with the control socket named in
// VEXA_SIM_CONTROL; forwards SIGINT/SIGTERM to it and returns its status
// (128 + signal when it was killed).
int runCommandMode(CSimulator& simulator, const std::vector<std::string>& command);

}  // namespace vexa::sim
