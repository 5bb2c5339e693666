#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

namespace corvel {

// The daemon's client packet: a 5-byte header (payload length, 32-bit
// little-endian; command type) followed by the payload. Clients send at most
// 4096 bytes in all; the daemon accepts payloads up to 4096 bytes.
constexpr size_t kClientHeaderSize = 5;
constexpr size_t kClientPacketMax = 4096;
constexpr size_t kClientPayloadMax = kClientPacketMax - kClientHeaderSize;
constexpr uint8_t kCommandToken = 0;

using ClientPacketBuffer = std::array<uint8_t, kClientPacketMax>;

struct ClientPacketHeader {
    uint32_t length;  // as the peer sent it: unchecked
    uint8_t commandType;
};

// Frames payload for the token (command type 0) into packet. Returns the
// packet length, or 0 when the payload does not fit.
size_t buildClientPacket(const uint8_t* payload, size_t length, ClientPacketBuffer& packet);

ClientPacketHeader parseClientHeader(const uint8_t (&bytes)[kClientHeaderSize]);

}  // namespace corvel
