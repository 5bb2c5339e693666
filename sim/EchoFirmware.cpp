#include "EchoFirmware.h"

namespace vexa::sim {

bool CEchoFirmware::handle(const std::vector<uint8_t>& request, std::vector<uint8_t>& reply)
{
    if (request.empty()) {
        return false;
    }
    reply.assign(request.rbegin(), request.rend());
    return true;
}

}  // namespace vexa::sim
