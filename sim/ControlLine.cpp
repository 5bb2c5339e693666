#include "ControlLine.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "LineBuffer.h"
#include "Simulator.h"

namespace vexa::sim {
namespace {

std::vector<std::string> words(const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string w; in >> w;) {
        out.push_back(w);
    }
    return out;
}

void expectArguments(const std::vector<std::string>& w, size_t count, const char* usage)
{
    if (w.size() != count + 1) {
        throw UsageError(std::string("usage: ") + usage);
    }
}

bool parseOnOff(const std::string& word)
{
    if (word == "on") {
        return true;
    }
    if (word == "off") {
        return false;
    }
    throw UsageError("stall takes on or off, not '" + word + "'");
}

uint8_t parseErrorCode(const std::string& word)
{
    errno = 0;
    char* end = nullptr;
    const unsigned long code = std::strtoul(word.c_str(), &end, 0);
    if (word.empty() || word[0] == '-' || *end != '\0' || errno != 0 || code > 0xFF) {
        throw UsageError("bad error code '" + word + "': use 0 to 255");
    }
    return uint8_t(code);
}

void dispatch(CSimulator& sim, const std::vector<std::string>& w)
{
    if (w.empty()) {
        throw UsageError("empty control line");
    }
    const std::string& command = w[0];
    if (command == "unplug") {
        expectArguments(w, 1, "unplug SERIAL");
        sim.unplug(w[1]);
    } else if (command == "plug") {
        expectArguments(w, 1, "plug SERIAL[,product=Vexa|Varkon][,framing=u2f|reportid]");
        sim.plug(w[1]);
    } else if (command == "stall") {
        expectArguments(w, 2, "stall SERIAL on|off");
        sim.setStall(w[1], parseOnOff(w[2]));
    } else if (command == "error") {
        expectArguments(w, 2, "error SERIAL CODE");
        sim.failNext(w[1], parseErrorCode(w[2]));
    } else if (command == "garble") {
        expectArguments(w, 1, "garble SERIAL");
        sim.garbleNext(w[1]);
    } else {
        throw UsageError("unknown command '" + command + "': use plug, unplug, stall, error or garble");
    }
}

}  // namespace

std::string runControlLine(CSimulator& simulator, const std::string& line)
{
    if (line == CLineBuffer::kTooLong) {
        return "error: control line too long";
    }
    try {
        dispatch(simulator, words(line));
        return "ok";
    } catch (const std::exception& e) {
        return std::string("error: ") + e.what();
    }
}

}  // namespace vexa::sim
