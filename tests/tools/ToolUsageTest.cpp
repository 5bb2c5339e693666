// vexa-tool's command line: help on every command, exit status 2 for bad usage.
// None of these reaches the library.
#include <gtest/gtest.h>

#include "Command.h"
#include "Process.h"

namespace vexa::test {
namespace {

RunResult tool(std::vector<std::string> args)
{
    args.insert(args.begin(), VEXA_TOOL);
    return runProgram(args);
}

std::vector<std::string> words(const std::string& name)
{
    std::vector<std::string> split;
    size_t start = 0;
    for (size_t blank; (blank = name.find(' ', start)) != std::string::npos; start = blank + 1) {
        split.push_back(name.substr(start, blank - start));
    }
    split.push_back(name.substr(start));
    return split;
}

TEST(ToolUsage, EveryCommandHasHelp)
{
    const RunResult overview = tool({"--help"});
    EXPECT_EQ(overview.status, 0);
    for (const tool::Command& command : tool::allCommands()) {
        EXPECT_NE(overview.output.find("  " + command.name + " "), std::string::npos) << command.name;
        std::vector<std::string> args = words(command.name);
        args.push_back("--help");
        const RunResult help = tool(args);
        EXPECT_EQ(help.status, 0) << command.name;
        EXPECT_EQ(help.output.rfind("usage: vexa-tool " + command.name, 0), 0u) << help.output;
    }
    for (const std::string group : {"config", "data", "btc"}) {
        const RunResult help = tool({group, "--help"});
        EXPECT_EQ(help.status, 0) << group;
        EXPECT_EQ(help.output.rfind("usage: vexa-tool " + group + " SUBCOMMAND", 0), 0u) << help.output;
    }
}

TEST(ToolUsage, ConfigHelpSaysWhichCallSetsWhat)
{
    const std::string help = tool({"config", "set", "--help"}).output;
    for (const char* call :
         {"u32SetTokenByte (55)", "u32SetTokenBytePair (56)", "u32SetTokenValue (54)", "u32SetTokenConfigWord (61)"}) {
        EXPECT_NE(help.find(call), std::string::npos) << call;
    }
    EXPECT_NE(tool({"config", "reset", "--help"}).output.find("u32TokenCommand, 57"), std::string::npos);
}

TEST(ToolUsage, BadUsageExitsTwoAndPointsToHelp)
{
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{}, "vexa-tool: no command\nTry 'vexa-tool --help'.\n"},
        {{"frobnicate"}, "vexa-tool: unknown command 'frobnicate'\nTry 'vexa-tool --help'.\n"},
        {{"data"}, "vexa-tool: 'data' needs one of: write, read\nTry 'vexa-tool data --help'.\n"},
        {{"data", "copy", "0"},
         "vexa-tool: unknown command 'data copy' (data: write, read)\nTry 'vexa-tool data --help'.\n"},
        {{"slots", "0"}, "vexa-tool: too many arguments\nTry 'vexa-tool slots --help'.\n"},
        {{"info"}, "vexa-tool: missing arguments\nTry 'vexa-tool info --help'.\n"},
        {{"log", "first"},
         "vexa-tool: SLOT must be a slot number or a token's serial number (12 hexadecimal digits), not 'first'\n"
         "Try 'vexa-tool log --help'.\n"},
        {{"info", "12345678901G"},
         "vexa-tool: SLOT must be a slot number or a token's serial number (12 hexadecimal digits), not "
         "'12345678901G'\nTry 'vexa-tool info --help'.\n"},
        {{"log", "99999999999"},
         "vexa-tool: SLOT must be a number from 0 to 4294967295, not '99999999999'\nTry 'vexa-tool log --help'.\n"},
        {{"time", "0", "--now"}, "vexa-tool: unknown option '--now'\nTry 'vexa-tool time --help'.\n"},
        {{"data", "read", "0"}, "vexa-tool: missing arguments\nTry 'vexa-tool data read --help'.\n"},
        {{"config", "set", "0", "config1"}, "vexa-tool: missing arguments\nTry 'vexa-tool config set --help'.\n"},
        {{"config", "set", "0", "config1", "1", "config2"},
         "vexa-tool: every value name needs a number after it\nTry 'vexa-tool config set --help'.\n"},
        {{"config", "set", "0", "config1", "256"},
         "vexa-tool: config1 must be a number from 0 to 255, not '256'\nTry 'vexa-tool config set --help'.\n"},
        {{"config", "set", "0", "config9", "1"},
         "vexa-tool: unknown configuration value 'config9' (config1 to config4)\n"
         "Try 'vexa-tool config set --help'.\n"},
        {{"btc", "pub", "0", "m/x", "--pin", "1"},
         "vexa-tool: 'm/x' is no derivation path such as m/44'/0'/0'/0/0\nTry 'vexa-tool btc pub --help'.\n"},
        {{"btc", "sign", "0", "m", "abc", "--pin", "1"},
         "vexa-tool: HASH must be hexadecimal digits, such as the 64 of a SHA-256 hash\n"
         "Try 'vexa-tool btc sign --help'.\n"},
        {{"btc", "pub", "0", "m", "--pin"}, "vexa-tool: --pin needs a value: PIN\nTry 'vexa-tool btc pub --help'.\n"},
    };
    for (const auto& c : cases) {
        const RunResult r = tool(c.args);
        EXPECT_EQ(r.status, 2) << c.message;
        EXPECT_EQ(r.output, c.message);
    }
}

TEST(ToolUsage, NoPinAndNoTerminalIsBadUsage)
{
    // runProgram gives no terminal; setsid drops the controlling one, if any.
    const RunResult r = runProgram({"setsid", "-w", VEXA_TOOL, "btc", "pub", "0", "m"}, {{"VEXA_PIN", ""}});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(
        r.output,
        "vexa-tool: no PIN: give --pin PIN, set VEXA_PIN or run on a terminal\nTry 'vexa-tool btc pub --help'.\n");
}

}  // namespace
}  // namespace vexa::test
