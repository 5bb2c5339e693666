// log and time: the token's event log and its clock.
#include <vector>

#include "Command.h"
#include "EventLogReader.h"
#include "Library.h"

namespace vexa::tool {
namespace {

void showLog(const Invocation& call)
{
    const CSlotArgument which = call.slot(0);
    CLibrary library;
    const CK_SLOT_ID slot = which.resolve(library, call.err);
    const std::string text = readEventLog(slot);
    call.out << text;
    if (!text.empty() && text.back() != '\n') {
        call.out << "\n";
    }
}

void setTime(const Invocation& call)
{
    const CSlotArgument which = call.slot(0);
    CLibrary library;
    const CK_SLOT_ID slot = which.resolve(library, call.err);
    if (!bSetDateTime(slot)) {
        throw Failure("bSetDateTime: the token did not take the time (slot " + std::to_string(slot) + ")");
    }
    call.out << "clock of slot " << slot << " set to this computer's time\n";
}

}  // namespace

void addLogCommands(std::vector<Command>& commands)
{
    commands.push_back({"log",
                        "SLOT",
                        "print the token's event log",
                        "Prints the token's event log as the token keeps it: one time-stamped line\n"
                        "per event (initialisation, key generation, configuration, data, clock).\n"
                        "The token keeps only its newest lines.\n",
                        {},
                        1,
                        1,
                        showLog});
    commands.push_back({"time",
                        "SLOT",
                        "set the token's clock",
                        "Sets the token's clock to this computer's time (the token stamps its log\n"
                        "with it). Every program that initialises the library does this as well.\n",
                        {},
                        1,
                        1,
                        setTime});
}

}  // namespace vexa::tool
