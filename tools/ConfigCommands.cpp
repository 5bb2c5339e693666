// config get|set|reset: the token's four configuration values.
#include "Command.h"
#include "ConfigPlan.h"
#include "Library.h"

namespace vexa::tool {
namespace {

void getConfig(const Invocation& call)
{
    const CSlotArgument which = call.slot(0);
    CLibrary library;
    const CK_SLOT_ID slot = which.resolve(library, call.err);
    TokenConfigRecord record{};
    record.version = VEXA_TOKEN_CONFIG_VERSION;
    record.size = VEXA_TOKEN_CONFIG_SIZE;
    check("u32GetTokenConfig", u32GetTokenConfig(slot, &record));
    call.out << "config1 " << unsigned(record.config1) << "\n"
             << "config2 " << unsigned(record.config2) << "\n"
             << "config3 " << unsigned(record.config3) << "\n"
             << "config4 " << record.config4 << "\n";
}

void runStep(CK_SLOT_ID slot, const ConfigStep& step)
{
    switch (step.call) {
    case ConfigCall::Byte:
        check("u32SetTokenByte", u32SetTokenByte(slot, uint8_t(step.first)));
        break;
    case ConfigCall::BytePair:
        check("u32SetTokenBytePair", u32SetTokenBytePair(slot, uint8_t(step.first), uint8_t(step.second)));
        break;
    case ConfigCall::Value:
        check("u32SetTokenValue", u32SetTokenValue(slot, step.first, uint8_t(step.second)));
        break;
    case ConfigCall::Word:
        check("u32SetTokenConfigWord", u32SetTokenConfigWord(slot, uint16_t(step.first)));
        break;
    }
}

void setConfig(const Invocation& call)
{
    const CSlotArgument which = call.slot(0);
    const std::vector<std::string>& words = call.args.positional();
    if (words.size() % 2 == 0) {
        throw UsageError("every value name needs a number after it", call.command);
    }
    std::vector<std::pair<std::string, std::string>> assignments;
    for (size_t i = 1; i + 1 < words.size(); i += 2) {
        assignments.emplace_back(words[i], words[i + 1]);
    }
    const std::vector<ConfigStep> steps = planConfigChange(assignments, call.command);
    CLibrary library;
    const CK_SLOT_ID slot = which.resolve(library, call.err);
    for (const ConfigStep& step : steps) {
        runStep(slot, step);
    }
}

void resetConfig(const Invocation& call)
{
    const CSlotArgument which = call.slot(0);
    CLibrary library;
    const CK_SLOT_ID slot = which.resolve(library, call.err);
    check("u32TokenCommand", u32TokenCommand(slot));
}

const char* const kValues =
    "The token keeps four configuration values: config1, config2 and config3\n"
    "(0 to 255) and config4 (0 to 65535). What they control is the token's\n"
    "firmware's business; the tool only reads and writes them.\n";

}  // namespace

void addConfigCommands(std::vector<Command>& commands)
{
    commands.push_back({"config get",
                        "SLOT",
                        "print the token's configuration values",
                        std::string(kValues) + "\nPrints one line per value: config1 to config4 and the number.\n",
                        {},
                        1,
                        1,
                        getConfig});
    commands.push_back({"config set",
                        "SLOT NAME VALUE...",
                        "change configuration values",
                        std::string(kValues) +
                            "\nSets each NAME (config1 to config4) to its VALUE; several NAME VALUE pairs\n"
                            "may follow one another. These calls of the library set them:\n"
                            "  config1             u32SetTokenByte (55)\n"
                            "  config2 and config3 u32SetTokenBytePair (56), when both are given: one call\n"
                            "  config2 or config3  u32SetTokenValue (54), selector 2 or 3\n"
                            "  config4             u32SetTokenConfigWord (61)\n"
                            "The calls run in that order; the first the token refuses ends the command,\n"
                            "and the values set before it stay set.\n",
                        {},
                        3,
                        9,
                        setConfig});
    commands.push_back({"config reset",
                        "SLOT",
                        "restore the factory values",
                        std::string(kValues) + "\nRuns the token command (u32TokenCommand, 57), which restores the\n"
                                               "factory values: all four are 0 afterwards.\n",
                        {},
                        1,
                        1,
                        resetConfig});
}

}  // namespace vexa::tool
