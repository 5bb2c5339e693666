#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

#include "USBPort.h"

namespace vexa::daemon {

// Request header: payload length (32-bit little-endian), command type.
constexpr size_t kPacketHeaderSize = 5;
constexpr uint8_t kCommandToken = 0;

struct PacketHeader {
    uint32_t length;
    uint8_t commandType;
};

inline PacketHeader ParsePacketHeader(const uint8_t (&bytes)[kPacketHeaderSize])
{
    const uint32_t length = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                            static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    return PacketHeader{length, bytes[4]};
}

// Per-connection state: the payload is read into buffer and the token's reply
// overwrites it in place, so a request costs no allocation.
struct ClientSession {
    uint8_t header[kPacketHeaderSize];
    std::array<uint8_t, kMaxMessage> buffer;
    uint32_t replyLength;
};

}  // namespace vexa::daemon
