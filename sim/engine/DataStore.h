#pragma once
// The token's data store: one block of bytes that the host writes and reads
// in chunks. A chunk answered with CKR_OPERATION_ACTIVE (0x90) means "more to
// come" in both directions.
#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <string>

#include "Wire.h"

namespace vexa::sim::engine {

class CDataStore {
public:
    // Room for files of some hundred kilobytes, such as certificate chains.
    static constexpr uint32_t kCapacity = 1024 * 1024;
    static constexpr uint32_t kChunk = 1536;

    // Loads the block kept at `path` (empty when there is none).
    explicit CDataStore(std::string path);

    // One chunk of a write: `total` bytes in all, this chunk ending at `end`.
    // A chunk that starts at offset 0 begins a new transfer; the block is
    // replaced only when the last chunk has arrived.
    CK_RV write(uint32_t total, const Bytes& chunk, uint32_t end);

    struct ReadChunk {
        Bytes bytes;
        uint32_t cursor = 0;  // where the next chunk starts
        uint32_t needed = 0;  // size of the block, set with CKR_BUFFER_TOO_SMALL
    };
    // The chunk at `cursor` for a caller whose buffer holds `capacity` bytes.
    CK_RV read(uint32_t capacity, uint32_t cursor, ReadChunk& out) const;

private:
    CK_RV abandon(CK_RV rv);

    std::string m_path;
    Bytes m_content;
    Bytes m_pending;              // bytes of the transfer in progress
    uint32_t m_pendingTotal = 0;  // 0: no transfer in progress
};

}  // namespace vexa::sim::engine
