#pragma once
#include <ostream>
#include <string>
#include <vector>

namespace vexa::tool {

// Runs one command line (without the program name) and returns the exit
// status: 0 done, 1 failed, 2 bad usage.
int runTool(const std::vector<std::string>& words, std::ostream& out, std::ostream& err);

}  // namespace vexa::tool
