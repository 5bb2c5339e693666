#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vexa::sim {

// What a simulated token does with one request message. The device side
// (framing, reports, control lines) is independent of it.
class IFirmware {
public:
    virtual ~IFirmware() = default;
    // One request message in. Returns true with the reply message filled when
    // the token answers; false when it sends nothing back.
    virtual bool handle(const std::vector<uint8_t>& request, std::vector<uint8_t>& reply) = 0;
};

// Everything a firmware may need to know about the token it runs in.
struct TokenIdentity {
    std::string serial;
    std::string product;  // "Vexa" or "Varkon"
};

}  // namespace vexa::sim
