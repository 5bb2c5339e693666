#pragma once
// The commands of vexa-tool: each has a name of one or two words ("slots",
// "data write"), its arguments, its help and the function that runs it.
#include <cstddef>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "Arguments.h"
#include "SlotArgument.h"
#include "vexa.h"

namespace vexa::tool {

struct Invocation {
    const CArguments& args;
    std::ostream& out;
    std::ostream& err;    // notes beside the command's output
    std::string command;  // its name, for messages

    const std::string& positional(size_t index) const { return args.positional().at(index); }
    // The positional argument at `index` as a SLOT; UsageError otherwise.
    CSlotArgument slot(size_t index) const { return CSlotArgument(positional(index), command); }
};

struct Command {
    std::string name;
    std::string synopsis;  // what follows the name in the usage line
    std::string summary;   // one line for the command list
    std::string details;   // the rest of --help
    std::vector<OptionSpec> options;
    size_t minArguments = 0;
    size_t maxArguments = 0;
    std::function<void(const Invocation&)> run;
};

// Each file of commands adds its own.
void addSlotCommands(std::vector<Command>& commands);
void addConfigCommands(std::vector<Command>& commands);
void addLogCommands(std::vector<Command>& commands);
void addDataCommands(std::vector<Command>& commands);
void addBitcoinCommands(std::vector<Command>& commands);
void addDoctorCommands(std::vector<Command>& commands);

// Every command, in the order of the tool's help.
const std::vector<Command>& allCommands();

}  // namespace vexa::tool
