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
constexpr size_t kDaemonPayloadMax = 4096;
constexpr uint8_t kCommandToken = 0;

using ClientPacketBuffer = std::array<uint8_t, kClientPacketMax>;
// Where the daemon reads a request's payload.
using ClientPayloadBuffer = std::array<uint8_t, kDaemonPayloadMax>;

struct ClientPacketHeader {
    uint32_t length;  // as the peer sent it: unchecked
    uint8_t commandType;
};

// Writes a header; any length and type, for those who build odd packets.
void writeClientHeader(uint32_t length, uint8_t commandType, uint8_t (&bytes)[kClientHeaderSize]);

// Frames payload for the token (command type 0) into packet. Returns the
// packet length, or 0 when the payload does not fit.
size_t buildClientPacket(const uint8_t* payload, size_t length, ClientPacketBuffer& packet);

ClientPacketHeader parseClientHeader(const uint8_t (&bytes)[kClientHeaderSize]);

// Where a request's bytes come from: a connection, or memory.
class IClientByteSource {
public:
    virtual ~IClientByteSource() = default;
    // Reads until length bytes have arrived, the source ends or a read fails;
    // returns how many arrived.
    virtual size_t readExactly(uint8_t* data, size_t length) = 0;
};

// A byte source over a buffer the caller keeps alive.
class CClientBytes : public IClientByteSource {
public:
    CClientBytes(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    size_t readExactly(uint8_t* data, size_t length) override;

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_offset = 0;
};

enum class ClientRequestOutcome {
    Complete,      // header and payload of a token request (command type 0)
    OtherCommand,  // header and payload arrived, command type is not 0
    ShortHeader,   // the source ended within the 5 header bytes
    LengthTooBig,  // the header asks for more than kDaemonPayloadMax bytes; no payload was read
    ShortPayload,  // the source ended within the payload
};

struct ClientRequest {
    ClientRequestOutcome outcome;
    ClientPacketHeader header;  // valid from LengthTooBig on
    size_t received;            // header bytes for ShortHeader, payload bytes otherwise
};

// Reads one request: the header, its length check, then the payload into
// payload. Touches nothing but the source and payload, so it can be driven
// from memory as well as from a connection.
ClientRequest readClientRequest(IClientByteSource& source, ClientPayloadBuffer& payload);

}  // namespace corvel
