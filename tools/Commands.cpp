#include "Command.h"
#include "Errors.h"

namespace vexa::tool {

const std::vector<Command>& allCommands()
{
    static const std::vector<Command> commands = [] {
        std::vector<Command> all;
        addSlotCommands(all);
        addConfigCommands(all);
        addLogCommands(all);
        addDataCommands(all);
        addBitcoinCommands(all);
        addDoctorCommands(all);
        return all;
    }();
    return commands;
}

}  // namespace vexa::tool
