#pragma once
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vexa::pkcs11 {

// Values of vexaconfig.json that the transports and time-outs use.
struct LibrarySettings {
    std::string address;               // daemon's TLS listener
    std::string sockdir = "/var/run";  // daemon's Unix sockets
    // Users whose sockets the library talks to besides root and its own
    // user; unset: the service user.
    std::optional<std::vector<uid_t>> trustedUsers;
    std::string cacertbundle;  // CA file for the TLS transport
    std::string clientcert;    // certificate presented to the TLS listener; empty: none
    std::string clientkey;     // its private key
    int32_t port = 0;
    uint32_t timeout = 12000;     // read time-out of every transport, ms
    uint32_t keytimeout = 65000;  // read time-out while a key pair is generated, ms
    uint16_t vid = 0x0483;
    uint16_t pid = 0xA2AC;
    uint16_t usagePage = 0;  // 0: any
};

}  // namespace vexa::pkcs11
