// Which vexaconfig.json the library reads from here, and what it makes of it:
// the library's own lookup and reading, so that the two cannot disagree.
#include <cstdio>
#include <fstream>
#include <vector>

#include "CLogTarget.h"
#include "Doctor.h"

namespace vexa::tool::doctor {
namespace {

using pkcs11::kConfigFileName;
using pkcs11::LibraryConfiguration;
using pkcs11::LibrarySettings;

bool canOpen(const std::string& path)
{
    std::ifstream file(path);
    return file.is_open();
}

std::string joined(const std::vector<std::string>& items)
{
    std::string text;
    for (size_t i = 0; i < items.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == items.size() ? " and " : ", ") + items[i];
    }
    return text;
}

std::string hex4(uint16_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value);
    return text;
}

// A file in the working directory serves only the programs started there;
// agents and services start elsewhere and take the next one of the lookup.
void checkOtherPrograms(CFindings& findings, const std::vector<std::string>& places)
{
    std::string elsewhere;
    for (size_t i = 1; i < places.size() && elsewhere.empty(); ++i) {
        if (canOpen(places[i] + kConfigFileName)) {
            elsewhere = places[i] + kConfigFileName;
        }
    }
    const std::string others = "only programs started in " + places[0] +
                               " read this file; others, such as ssh-agent (which runs in /) and services, ";
    if (elsewhere.empty()) {
        findings.warn("config", others + "find none in " + places[1] + " or " + places[2] +
                                    " and use USB HID (copy the file to " + places[1] + " for every program of " +
                                    "this user)");
    } else {
        findings.warn("config", others + "read " + elsewhere);
    }
}

std::string transportText(const LibraryConfiguration& configuration)
{
    const LibrarySettings& s = configuration.settings;
    switch (configuration.transport) {
    case pkcs11::TransportChoice::Unix:
        return "the daemon's Unix sockets in " + s.sockdir;
    case pkcs11::TransportChoice::Tls:
        return "TLS to " + s.address + " port " + std::to_string(s.port) + ", CA bundle " + s.cacertbundle +
               (s.clientcert.empty() ? ", no client certificate"
                                     : ", client certificate " + s.clientcert + " with the key " + s.clientkey);
    case pkcs11::TransportChoice::Hid:
        break;
    }
    return "USB HID, vendor id " + hex4(s.vid) + ", product id " + hex4(s.pid) +
           (s.usagePage != 0 ? ", usage page " + hex4(s.usagePage) : "");
}

void checkLogging(CFindings& findings, const LibraryConfiguration& configuration)
{
    if (!configuration.hasLogging || configuration.logLevel >= pkcs11::kLogDisabled) {
        findings.ok("settings", "logging off");
        return;
    }
    const std::string level = "logging from level " + std::to_string(configuration.logLevel);
    if (!configuration.logFile && !configuration.logConsole) {
        findings.warn("settings", level + ", but with neither logging.logfile nor logging.logconsole nothing is " +
                                      "written anywhere");
        return;
    }
    std::string where = configuration.logFile ? " to " + *configuration.logFile : "";
    where += configuration.logConsole ? std::string(where.empty() ? " to" : " and") + " standard output" : "";
    findings.ok("settings", level + where);
}

void reportSettings(CFindings& findings, const LibraryConfiguration& configuration)
{
    const LibrarySettings& s = configuration.settings;
    findings.ok("settings", "tokens over " + transportText(configuration));
    findings.ok("settings", "reply time-out " + std::to_string(s.timeout) + " ms, " + std::to_string(s.keytimeout) +
                                " ms while a key pair is generated");
    findings.ok("settings", configuration.lockFile ? "lock file " + *configuration.lockFile : "no lock file");
    checkLogging(findings, configuration);
}

}  // namespace

LibraryConfiguration checkConfiguration(CFindings& findings)
{
    const std::string home = pkcs11::userHomeDir();
    const std::vector<std::string> places = pkcs11::configSearchPath(home);
    const std::string dir = pkcs11::findConfigDir(kConfigFileName, home);
    const std::string path = dir + kConfigFileName;
    pkcs11::ConfigReading reading;
    std::ifstream file(path);
    if (!file.is_open()) {
        findings.warn("config", std::string("no ") + kConfigFileName + " in " + joined(places) +
                                    ": the library uses its defaults, tokens over USB HID and no logging");
    } else {
        findings.ok("config", path + " (looked for in " + joined(places) + ")");
        if (dir == places[0] && dir != places[1] && dir != places[2]) {
            checkOtherPrograms(findings, places);
        }
        reading = pkcs11::readConfiguration(file);
        for (const pkcs11::ConfigDiagnostic& d : reading.diagnostics) {
            findings.warn(d.key.empty() ? path : d.key, d.problem + "; " + d.effect);
        }
        if (reading.diagnostics.empty()) {
            findings.ok("config", "every key in it is read and used");
        }
    }
    reportSettings(findings, reading.configuration);
    return reading.configuration;
}

}  // namespace vexa::tool::doctor
