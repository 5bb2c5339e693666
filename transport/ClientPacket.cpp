#include "ClientPacket.h"

#include <algorithm>
#include <cstring>

namespace corvel {

void writeClientHeader(uint32_t length, uint8_t commandType, uint8_t (&bytes)[kClientHeaderSize])
{
    bytes[0] = static_cast<uint8_t>(length);
    bytes[1] = static_cast<uint8_t>(length >> 8);
    bytes[2] = static_cast<uint8_t>(length >> 16);
    bytes[3] = static_cast<uint8_t>(length >> 24);
    bytes[4] = commandType;
}

size_t buildClientPacket(const uint8_t* payload, size_t length, ClientPacketBuffer& packet)
{
    if (length > kClientPayloadMax || (payload == nullptr && length != 0)) {
        return 0;
    }
    uint8_t header[kClientHeaderSize];
    writeClientHeader(static_cast<uint32_t>(length), kCommandToken, header);
    std::memcpy(packet.data(), header, sizeof header);
    if (length != 0) {
        std::memcpy(packet.data() + kClientHeaderSize, payload, length);
    }
    return length + kClientHeaderSize;
}

ClientPacketHeader parseClientHeader(const uint8_t (&bytes)[kClientHeaderSize])
{
    const uint32_t length = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                            static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    return ClientPacketHeader{length, bytes[4]};
}

size_t CClientBytes::readExactly(uint8_t* data, size_t length)
{
    const size_t count = std::min(length, m_size - m_offset);
    if (count != 0) {
        std::memcpy(data, m_data + m_offset, count);
        m_offset += count;
    }
    return count;
}

ClientRequest readClientRequest(IClientByteSource& source, ClientPayloadBuffer& payload)
{
    uint8_t bytes[kClientHeaderSize];
    const size_t headerCount = source.readExactly(bytes, sizeof bytes);
    if (headerCount < sizeof bytes) {
        return {ClientRequestOutcome::ShortHeader, {}, headerCount};
    }
    const ClientPacketHeader header = parseClientHeader(bytes);
    if (header.length > payload.size()) {
        return {ClientRequestOutcome::LengthTooBig, header, 0};
    }
    const size_t received = source.readExactly(payload.data(), header.length);
    if (received < header.length) {
        return {ClientRequestOutcome::ShortPayload, header, received};
    }
    const ClientRequestOutcome outcome =
        header.commandType == kCommandToken ? ClientRequestOutcome::Complete : ClientRequestOutcome::OtherCommand;
    return {outcome, header, received};
}

}  // namespace corvel
