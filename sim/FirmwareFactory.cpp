#include "FirmwareFactory.h"

#include "EchoFirmware.h"
#include "TokenDescription.h"
#include "TokenEngine.h"

namespace vexa::sim {

FirmwareKind parseFirmwareKind(const std::string& name)
{
    if (name == "echo") {
        return FirmwareKind::Echo;
    }
    if (name == "pkcs11") {
        return FirmwareKind::Pkcs11;
    }
    throw UsageError("unknown firmware '" + name + "': use echo or pkcs11");
}

void checkFirmwareConfig(const FirmwareConfig& config)
{
    if (config.kind != FirmwareKind::Pkcs11) {
        return;
    }
    if (config.soPin.empty() || config.userPin.empty()) {
        throw UsageError("--so-pin and --pin must not be empty");
    }
}

std::unique_ptr<IFirmware> makeFirmware(const FirmwareConfig& config, const TokenIdentity& identity)
{
    checkFirmwareConfig(config);
    if (config.kind == FirmwareKind::Echo) {
        return std::make_unique<CEchoFirmware>();
    }
    if (config.stateDir.empty()) {
        throw UsageError("the pkcs11 firmware needs a state directory");
    }
    engine::EngineOptions options;
    options.stateDir = config.stateDir;
    options.soPin = config.soPin;
    options.userPin = config.userPin;
    return std::make_unique<engine::CTokenEngine>(identity, options);
}

}  // namespace vexa::sim
