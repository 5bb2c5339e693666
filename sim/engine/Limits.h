#pragma once
#include <cstddef>
#include <cstdint>

namespace vexa::sim::engine {

// The library exchanges every message through one 2048-byte buffer.
constexpr size_t kMaxReply = 2048;
// Largest `output` any reply carries: leaves room for rv, outputLength and
// handle next to it, so a reply with a full output still fits kMaxReply.
constexpr uint32_t kMaxOutput = 2000;
// Largest handle list of one C_FindObjects answer (4 bytes per handle).
constexpr uint32_t kMaxFoundHandles = kMaxOutput / 4;
// Sessions one token keeps open at a time.
constexpr size_t kMaxSessions = 1024;

}  // namespace vexa::sim::engine
