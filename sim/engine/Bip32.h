#pragma once
// Hierarchical deterministic keys on secp256k1 as BIP32 defines them, for the
// token's Bitcoin key service.
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "Wire.h"

namespace vexa::sim::engine::bip32 {

constexpr uint32_t kHardened = 0x80000000u;
constexpr size_t kMinSeed = 16;
constexpr size_t kMaxSeed = 64;
constexpr size_t kMaxDepth = 255;  // the depth of an extended key is one byte

using Key = std::array<uint8_t, 32>;
using PublicKey = std::array<uint8_t, 33>;

struct ExtendedKey {
    Key key{};  // private key, big-endian
    Key chainCode{};
};

// nullopt for a seed outside 16..64 bytes or one that gives no valid key.
std::optional<ExtendedKey> masterFromSeed(const Bytes& seed);
// The private child along `path`; nullopt when a step gives no valid key
// (probability below 2^-127 per step) or the path is deeper than kMaxDepth.
std::optional<ExtendedKey> derive(const ExtendedKey& parent, const std::vector<uint32_t>& path);
// The compressed SEC1 point of the key's public key.
std::optional<PublicKey> publicKey(const Key& key);
// Deterministic ECDSA (RFC 6979, SHA-256) of a 32-byte hash, with the low-S
// form Bitcoin requires, DER-encoded.
std::optional<Bytes> signHash(const Key& key, const Bytes& hash);

}  // namespace vexa::sim::engine::bip32
