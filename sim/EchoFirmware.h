#pragma once
#include "Firmware.h"

namespace vexa::sim {

// Answers each request with its bytes in reverse order; an empty request gets
// no answer. Lets transports be tested without the token engine.
class CEchoFirmware : public IFirmware {
public:
    bool handle(const std::vector<uint8_t>& request, std::vector<uint8_t>& reply) override;
};

}  // namespace vexa::sim
