#include "ToolMain.h"

#include <iomanip>

#include "Command.h"
#include "Errors.h"

namespace vexa::tool {
namespace {

constexpr const char* kProgram = "vexa-tool";
constexpr const char* kVersion = "1.7";

bool isHelp(const std::string& word) { return word == "--help" || word == "-h" || word == "help"; }

const Command* findCommand(const std::string& name)
{
    for (const Command& command : allCommands()) {
        if (command.name == name) {
            return &command;
        }
    }
    return nullptr;
}

// The commands whose name begins with this word and a blank ("data": data write, data read).
std::vector<const Command*> group(const std::string& word)
{
    std::vector<const Command*> members;
    for (const Command& command : allCommands()) {
        if (command.name.rfind(word + " ", 0) == 0) {
            members.push_back(&command);
        }
    }
    return members;
}

void listCommands(std::ostream& out, const std::vector<const Command*>& commands)
{
    for (const Command* command : commands) {
        const std::string call = command->name + (command->synopsis.empty() ? "" : " " + command->synopsis);
        out << "  " << std::left << std::setw(34) << call << " " << command->summary << "\n";
    }
}

void toolHelp(std::ostream& out)
{
    std::vector<const Command*> all;
    for (const Command& command : allCommands()) {
        all.push_back(&command);
    }
    out << "usage: " << kProgram << " COMMAND [ARGUMENT...]\n\n"
        << "The token functions of libvexa-pkcs11.so that standard PKCS#11 tools do not\n"
        << "offer. SLOT is a token's serial number or a slot number, as \"" << kProgram << " slots\"\n"
        << "lists them; a serial number names the same token whatever else is plugged in.\n\n"
        << "Commands:\n";
    listCommands(out, all);
    out << "\n'" << kProgram << " COMMAND --help' describes a command.\n\n"
        << "The library reads vexaconfig.json from the working directory, else from\n"
        << "~/.vexa/, else from /usr/local/etc/vexa/; it says how the tokens are reached:\n"
        << "over USB (without a file), through vexa-daemon's Unix sockets or over TLS.\n"
        << "'" << kProgram << " doctor' says which file applies here, and why a token is\n"
        << "reached or not.\n\n"
        << "Exit status: 0 done; 1 the operation failed (a token or library error names\n"
        << "its PKCS#11 result, such as CKR_PIN_INCORRECT (0xa0)); 2 bad usage.\n";
}

void commandHelp(std::ostream& out, const Command& command)
{
    out << "usage: " << kProgram << " " << command.name << (command.options.empty() ? "" : " [OPTION...]")
        << (command.synopsis.empty() ? "" : " " + command.synopsis) << "\n\n"
        << command.details;
    if (!command.options.empty()) {
        out << "\nOptions:\n";
        for (const OptionSpec& option : command.options) {
            out << "  " << std::left << std::setw(16) << (option.name + " " + option.valueName) << " " << option.help
                << "\n";
        }
    }
}

void groupHelp(std::ostream& out, const std::string& word, const std::vector<const Command*>& members)
{
    out << "usage: " << kProgram << " " << word << " SUBCOMMAND ...\n\n";
    listCommands(out, members);
    out << "\n'" << kProgram << " " << word << " SUBCOMMAND --help' describes one.\n";
}

void checkArgumentCount(const Command& command, size_t count)
{
    if (count < command.minArguments || count > command.maxArguments) {
        throw UsageError(std::string(count < command.minArguments ? "missing" : "too many") + " arguments",
                         command.name);
    }
}

int runCommand(const Command& command, const std::vector<std::string>& rest, std::ostream& out, std::ostream& err)
{
    const CArguments args(rest, command.options, command.name);
    if (args.help()) {
        commandHelp(out, command);
        return kExitOk;
    }
    checkArgumentCount(command, args.positional().size());
    command.run(Invocation{args, out, err, command.name});
    return kExitOk;
}

// A word that names no command: a group without its subcommand, or nothing.
int notACommand(const std::vector<std::string>& words, std::ostream& out)
{
    const std::vector<const Command*> members = group(words[0]);
    if (members.empty()) {
        throw UsageError("unknown command '" + words[0] + "'");
    }
    if (words.size() > 1 && isHelp(words[1])) {
        groupHelp(out, words[0], members);
        return kExitOk;
    }
    std::string names;
    for (const Command* member : members) {
        names += (names.empty() ? "" : ", ") + member->name.substr(words[0].size() + 1);
    }
    if (words.size() > 1) {
        throw UsageError("unknown command '" + words[0] + " " + words[1] + "' (" + words[0] + ": " + names + ")",
                         words[0]);
    }
    throw UsageError("'" + words[0] + "' needs one of: " + names, words[0]);
}

int dispatch(const std::vector<std::string>& words, std::ostream& out, std::ostream& err)
{
    if (words.empty()) {
        throw UsageError("no command");
    }
    if (isHelp(words[0])) {
        toolHelp(out);
        return kExitOk;
    }
    if (words[0] == "--version") {
        out << kProgram << " " << kVersion << "\n";
        return kExitOk;
    }
    if (words.size() > 1) {
        if (const Command* command = findCommand(words[0] + " " + words[1])) {
            return runCommand(*command, {words.begin() + 2, words.end()}, out, err);
        }
    }
    if (const Command* command = findCommand(words[0])) {
        return runCommand(*command, {words.begin() + 1, words.end()}, out, err);
    }
    return notACommand(words, out);
}

}  // namespace

int runTool(const std::vector<std::string>& words, std::ostream& out, std::ostream& err)
{
    try {
        return dispatch(words, out, err);
    } catch (const UsageError& e) {
        const std::string help = e.command().empty() ? "--help" : e.command() + " --help";
        err << kProgram << ": " << e.what() << "\nTry '" << kProgram << " " << help << "'.\n";
        return kExitUsage;
    } catch (const std::exception& e) {
        out.flush();
        err << kProgram << ": " << e.what() << "\n";
        return kExitFailed;
    }
}

}  // namespace vexa::tool
