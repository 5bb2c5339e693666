// fuzz-config: the readers of both configuration files, from the text of a
// file to the settings taken from it, without touching a file.
//
// Every input is read as vexa-daemon.json, merged with an empty command line
// and with one that sets every option, and as vexaconfig.json, whose reader
// names each key it ignores and why.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "ConfigFile.h"
#include "Configuration.h"
#include "DaemonLog.h"
#include "DaemonSettings.h"

namespace {

void require(bool holds, const char* what)
{
    if (!holds) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

void readDaemonConfig(const std::string& text)
{
    std::istringstream stream(text);
    nlohmann::json file;
    if (!vexa::daemon::parseConfig(stream, file)) {
        file = nullptr;
    }
    static const vexa::daemon::Words kNone{};
    static const vexa::daemon::Words kAll{"-t", "unix", "-sd", "/s",   "-d", "A",   "-p", "1",  "-i",
                                          "h",  "-key", "k",   "-crt", "c",  "-ca", "a",  "-v", "20"};
    for (const auto* words : {&kNone, &kAll}) {
        vexa::daemon::DaemonConfig config;
        std::string error;
        if (vexa::daemon::mergeSettings(file, *words, config, error)) {
            require(error.empty(), "a merge that succeeds has no reason to fail");
        } else {
            require(!error.empty(), "a failed merge says why");
        }
    }
}

void readLibraryConfig(const std::string& text)
{
    std::istringstream stream(text);
    const vexa::pkcs11::ConfigReading reading = vexa::pkcs11::readConfiguration(stream);
    for (const vexa::pkcs11::ConfigDiagnostic& diagnostic : reading.diagnostics) {
        require(!diagnostic.problem.empty() && !diagnostic.effect.empty(), "an ignored key says why and what instead");
    }
    const auto transport = reading.configuration.transport;
    require(transport == vexa::pkcs11::TransportChoice::Hid || transport == vexa::pkcs11::TransportChoice::Unix ||
                transport == vexa::pkcs11::TransportChoice::Tls,
            "one of the transports");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    vexa::daemon::setLogThreshold(corvel::kLogError + 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    readDaemonConfig(text);
    readLibraryConfig(text);
    return 0;
}
