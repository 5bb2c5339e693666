#include <limits>

#include "Command.h"
#include "Errors.h"

namespace vexa::tool {

CK_SLOT_ID Invocation::slot(size_t index) const
{
    return parseNumber(positional(index), "SLOT", std::numeric_limits<uint32_t>::max(), command);
}

const std::vector<Command>& allCommands()
{
    static const std::vector<Command> commands = [] {
        std::vector<Command> all;
        addSlotCommands(all);
        addConfigCommands(all);
        addLogCommands(all);
        addDataCommands(all);
        addBitcoinCommands(all);
        return all;
    }();
    return commands;
}

}  // namespace vexa::tool
