#pragma once
// The same computations with OpenSSL's libcrypto, to check what a token
// produced against an implementation that shares no code with it.
#include <cstdint>
#include <string>
#include <vector>

namespace vexa::test::openssl {

using Bytes = std::vector<uint8_t>;

// "sha1", "sha224", "sha256", "sha384", "sha512".
Bytes digest(const std::string& hash, const Bytes& data);

// An RSASSA-PSS signature of `digest` (made with `hash`, MGF1 of the same
// hash and a salt of `saltLength` bytes) under the public key (n, e).
bool verifyRsaPss(const Bytes& modulus, const Bytes& exponent, const std::string& hash, size_t saltLength,
                  const Bytes& digest, const Bytes& signature);

// An ECDSA signature given as r || s (as PKCS#11 has it) over `data` hashed
// with `hash`, under the uncompressed point of a prime256v1 key.
bool verifyEcdsaP256(const Bytes& point, const std::string& hash, const Bytes& data, const Bytes& signature);

// AES-GCM as PKCS#11 has it: the ciphertext followed by the tag.
Bytes gcmSeal(const Bytes& key, const Bytes& iv, const Bytes& aad, size_t tagBytes, const Bytes& plain);
// False when the tag does not authenticate the ciphertext.
bool gcmOpen(const Bytes& key, const Bytes& iv, const Bytes& aad, size_t tagBytes, const Bytes& sealed, Bytes& plain);

// A block cipher of OpenSSL's default provider without padding:
// "des-ede3-ecb", "des-ede3-cbc", "aes-128-ecb", "aes-256-cbc", ... (an
// empty IV for ECB).
Bytes encryptBlocks(const std::string& cipher, const Bytes& key, const Bytes& iv, const Bytes& data);

}  // namespace vexa::test::openssl
