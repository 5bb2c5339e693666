#pragma once
#include <memory>
#include <string>

#include "Firmware.h"

namespace vexa::sim {

enum class FirmwareKind { Echo, Pkcs11 };

// Everything the command line says about the firmware. Options of a firmware
// kind are added here and filled in by the option table in Options.cpp.
struct FirmwareConfig {
    FirmwareKind kind = FirmwareKind::Pkcs11;
    // pkcs11: where the tokens keep their state; empty until main() puts a
    // scratch directory there for a run without --state.
    std::string stateDir;
    std::string soPin = "12345678";  // of a token initialised on first start
    std::string userPin = "123456";
};

// Throws UsageError for an unknown name.
FirmwareKind parseFirmwareKind(const std::string& name);

// One firmware instance for one token; throws UsageError when the kind cannot
// run with this configuration.
std::unique_ptr<IFirmware> makeFirmware(const FirmwareConfig& config, const TokenIdentity& identity);

// Throws UsageError when makeFirmware would refuse the configuration, so the
// simulator can say so before it sets anything up.
void checkFirmwareConfig(const FirmwareConfig& config);

}  // namespace vexa::sim
