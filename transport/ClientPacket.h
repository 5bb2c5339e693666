#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

namespace corvel {

// The daemon's client packet: a 5-byte header (payload length, 32-bit
// little-endian; command type) followed by the payload, 4096 bytes at most.
constexpr size_t kClientHeaderSize = 5;
constexpr size_t kClientPacketMax = 4096;
constexpr size_t kClientPayloadMax = kClientPacketMax - kClientHeaderSize;
constexpr uint8_t kCommandToken = 0;

using ClientPacketBuffer = std::array<uint8_t, kClientPacketMax>;

// Frames payload for the token (command type 0) into packet. Returns the
// packet length, or 0 when the payload does not fit.
size_t buildClientPacket(const uint8_t* payload, size_t length, ClientPacketBuffer& packet);

}  // namespace corvel
