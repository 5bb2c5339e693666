#pragma once
// Checks Bitcoin signatures independently of the token: mbed TLS 2 reads no
// compressed points, so the point is decompressed here (y = (x^3 + 7)^((p+1)/4)).
#include "TokenClient.h"

namespace vexa::test::engine {

bool verifySecp256k1(const Bytes& compressedPublicKey, const Bytes& hash, const Bytes& derSignature);

}  // namespace vexa::test::engine
