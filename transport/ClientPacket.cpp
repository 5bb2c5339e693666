#include "ClientPacket.h"

#include <cstring>

namespace corvel {

size_t buildClientPacket(const uint8_t* payload, size_t length, ClientPacketBuffer& packet)
{
    if (length > kClientPayloadMax || (payload == nullptr && length != 0)) {
        return 0;
    }
    const auto value = static_cast<uint32_t>(length);
    packet[0] = static_cast<uint8_t>(value);
    packet[1] = static_cast<uint8_t>(value >> 8);
    packet[2] = static_cast<uint8_t>(value >> 16);
    packet[3] = static_cast<uint8_t>(value >> 24);
    packet[4] = kCommandToken;
    if (length != 0) {
        std::memcpy(packet.data() + kClientHeaderSize, payload, length);
    }
    return length + kClientHeaderSize;
}

ClientPacketHeader parseClientHeader(const uint8_t (&bytes)[kClientHeaderSize])
{
    const uint32_t length = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                            static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    return ClientPacketHeader{length, bytes[4]};
}

}  // namespace corvel
