#pragma once
#include <array>
#include <cstdint>

#include "ClientPacket.h"
#include "USBPort.h"

namespace vexa::daemon {

// Per-connection state: the payload is read into buffer and the token's reply
// overwrites it in place, so a request costs no allocation.
struct ClientSession {
    uint8_t header[corvel::kClientHeaderSize];
    std::array<uint8_t, kMaxMessage> buffer;
    uint32_t replyLength;
};

}  // namespace vexa::daemon
