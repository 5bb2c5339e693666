#include "Options.h"

#include <functional>
#include <set>
#include <sstream>

namespace vexa::sim {
namespace {

struct OptionDef {
    const char* name;
    const char* valueName;  // null for a flag
    const char* help;
    std::function<void(SimOptions&, const std::string&)> apply;
};

// New options go here: the parser and the usage text both read this table.
const std::vector<OptionDef>& optionTable()
{
    static const std::vector<OptionDef> table = {
        {"--token", "SERIAL[,product=Vexa|Varkon][,framing=u2f|reportid]", "add a token (repeatable)",
         [](SimOptions& o, const std::string& v) { o.tokens.push_back(parseTokenDescription(v)); }},
        {"--firmware", "echo|pkcs11", "what the tokens do with a request (default pkcs11: a working token)",
         [](SimOptions& o, const std::string& v) { o.firmware.kind = parseFirmwareKind(v); }},
        {"--state", "DIR",
         "pkcs11: keep the tokens' keys, objects and settings in DIR (default: a fresh "
         "directory removed at exit)",
         [](SimOptions& o, const std::string& v) {
             if (v.empty()) {
                 throw UsageError("--state needs a directory");
             }
             o.firmware.stateDir = v;
         }},
        {"--so-pin", "PIN", "pkcs11: SO PIN of a token initialised on first start (default 12345678)",
         [](SimOptions& o, const std::string& v) { o.firmware.soPin = v; }},
        {"--pin", "PIN", "pkcs11: user PIN of a token initialised on first start (default 123456)",
         [](SimOptions& o, const std::string& v) { o.firmware.userPin = v; }},
        {"--usb-timing", nullptr, "pace reports like a full-speed USB interrupt endpoint (1 report per ms)",
         [](SimOptions& o, const std::string&) { o.usbTiming = true; }},
        {"--trace", "FILE", "append one line per request and reply message to FILE",
         [](SimOptions& o, const std::string& v) {
             if (v.empty()) {
                 throw UsageError("--trace needs a file name");
             }
             o.traceFile = v;
         }},
        {"--verbose", nullptr, "log device activity on standard error",
         [](SimOptions& o, const std::string&) { o.verbose = true; }},
        {"--help", nullptr, "show this text", [](SimOptions& o, const std::string&) { o.help = true; }},
    };
    return table;
}

const OptionDef* findOption(const std::string& name)
{
    for (const OptionDef& def : optionTable()) {
        if (name == def.name) {
            return &def;
        }
    }
    return nullptr;
}

void checkUniqueSerials(const std::vector<TokenDescription>& tokens)
{
    std::set<std::string> seen;
    for (const TokenDescription& t : tokens) {
        if (!seen.insert(t.serial).second) {
            throw UsageError("token serial " + t.serial + " given twice");
        }
    }
}

}  // namespace

SimOptions parseCommandLine(int argc, const char* const* argv)
{
    SimOptions options;
    int i = 1;
    for (; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg == "-h") {
            arg = "--help";
        }
        std::string value;
        bool inlineValue = false;
        const size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
            inlineValue = true;
        }
        const OptionDef* def = findOption(arg);
        if (!def) {
            throw UsageError("unknown option '" + arg + "'");
        }
        if (def->valueName && !inlineValue) {
            if (i + 1 >= argc) {
                throw UsageError(arg + " needs a value: " + def->valueName);
            }
            value = argv[++i];
        } else if (!def->valueName && inlineValue) {
            throw UsageError(arg + " takes no value");
        }
        def->apply(options, value);
    }
    for (; i < argc; ++i) {
        options.command.emplace_back(argv[i]);
    }
    if (options.tokens.empty()) {
        options.tokens.push_back(parseTokenDescription(kDefaultSerial));
    }
    checkUniqueSerials(options.tokens);
    return options;
}

std::string usageText(const std::string& program)
{
    std::ostringstream out;
    out << "usage: " << program << " [OPTION...] [-- COMMAND [ARG...]]\n"
        << "Simulates corvelWorks tokens (USB 0483:a2ac) as hidraw devices for programs run\n"
        << "under umockdev. With COMMAND: runs it with LD_PRELOAD and UMOCKDEV_DIR set and\n"
        << "exits with its status. Without: prints those two variables as NAME=value lines,\n"
        << "then serves until standard input ends, SIGINT or SIGTERM.\n\n"
        << "Options:\n";
    for (const OptionDef& def : optionTable()) {
        std::string left = std::string("  ") + def.name + (def.valueName ? std::string(" ") + def.valueName : "");
        out << left << "\n      " << def.help << "\n";
    }
    out << "\nA --token value may also carry manufacturer=TEXT (to test hosts that check it).\n"
        << "Default token: " << kDefaultSerial << ", product Vexa, framing u2f.\n\n"
        << "Control lines (standard input in serve mode, the socket named by\n"
        << "VEXA_SIM_CONTROL for COMMAND), each answered with \"ok\" or \"error: ...\":\n"
        << "  unplug SERIAL | plug SERIAL[,OPTION...] | stall SERIAL on|off\n"
        << "  error SERIAL CODE | garble SERIAL\n";
    return out.str();
}

}  // namespace vexa::sim
