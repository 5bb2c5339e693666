#pragma once
#include <mbedtls/ssl.h>

namespace corvel {

// What both ends of the daemon's TLS connections accept: TLS 1.2 (the newest
// version the TLS library serves), and only suites with an ephemeral ECDH
// key exchange (forward secrecy) and an AEAD cipher (AES-GCM or
// ChaCha20-Poly1305). Older versions, CBC suites and static key exchanges
// are refused in the handshake.
void applyTlsPolicy(mbedtls_ssl_config& config);

}  // namespace corvel
