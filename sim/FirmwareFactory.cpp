#include "FirmwareFactory.h"

#include "EchoFirmware.h"
#include "TokenSpec.h"

namespace vexa::sim {

FirmwareKind parseFirmwareKind(const std::string& name) {
    if (name == "echo")
        return FirmwareKind::Echo;
    if (name == "pkcs11")
        return FirmwareKind::Pkcs11;
    throw UsageError("unknown firmware '" + name + "': use echo or pkcs11");
}

void checkFirmwareConfig(const FirmwareConfig& config) {
    if (config.kind == FirmwareKind::Pkcs11)
        throw UsageError("the pkcs11 firmware is not part of this build yet; use --firmware echo");
}

std::unique_ptr<IFirmware> makeFirmware(const FirmwareConfig& config, const TokenIdentity& identity) {
    (void)identity;
    checkFirmwareConfig(config);
    return std::make_unique<EchoFirmware>();
}

}  // namespace vexa::sim
