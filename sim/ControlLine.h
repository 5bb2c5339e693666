#pragma once
#include <string>

namespace vexa::sim {

class CSimulator;

// Carries out one control line ("unplug SERIAL", "plug SERIAL[,OPTION...]",
// "stall SERIAL on|off", "error SERIAL CODE", "garble SERIAL") and returns
// the answer: "ok" or "error: " and the reason.
std::string runControlLine(CSimulator& simulator, const std::string& line);

}  // namespace vexa::sim
