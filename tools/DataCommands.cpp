// data write|read: the token's data block, moved in chunks by the library.
#include <cstdint>
#include <limits>
#include <vector>

#include "Command.h"
#include "Files.h"
#include "Library.h"
#include "Progress.h"

namespace vexa::tool {
namespace {

// The library cannot say how large the block is before reading it: the read
// starts with this much room and doubles it while the token finds it short.
constexpr CK_ULONG kFirstReadCapacity = 1024 * 1024;
constexpr CK_ULONG kLargestReadCapacity = 64 * 1024 * 1024;

void writeData(const Invocation& call)
{
    const CSlotArgument which = call.slot(0);
    const std::string& path = call.positional(1);
    const std::vector<uint8_t> data = readWholeFile(path);
    if (data.empty()) {
        throw Failure(path + " is empty: the token keeps no empty block");
    }
    if (data.size() > std::numeric_limits<uint32_t>::max()) {
        throw Failure(path + " is too large for a token");
    }
    CLibrary library;
    const CK_SLOT_ID slot = which.resolve(library, call.err);
    const uint64_t chunks = (data.size() + kChunkBytes - 1) / kChunkBytes;
    CTransferProgress progress("writing " + path, chunks, progressWanted());
    const uint32_t rv = u32WriteTokenData(slot, data.data(), data.size());
    progress.finish(rv == CKR_OK, "wrote " + path, data.size());
    check("u32WriteTokenData", rv);
    call.out << "wrote " << data.size() << " bytes to the token in slot " << slot << "\n";
}

// The token's block; a TokenError when the library reports a failure.
std::vector<uint8_t> readBlock(CK_SLOT_ID slot, const std::string& path)
{
    for (CK_ULONG capacity = kFirstReadCapacity;; capacity *= 2) {
        std::vector<uint8_t> buffer(capacity);
        CK_ULONG length = capacity;
        CTransferProgress progress("reading " + path, 0, progressWanted());
        const uint32_t rv = u32ReadTokenData(slot, buffer.data(), &length);
        const bool tooSmall = rv == CKR_BUFFER_TOO_SMALL || rv == CKR_VEXA_MORE_DATA;
        if (tooSmall && capacity < kLargestReadCapacity) {
            continue;
        }
        progress.finish(rv == CKR_OK, "read " + path, std::min<CK_ULONG>(length, capacity));
        check("u32ReadTokenData", rv);
        buffer.resize(std::min<CK_ULONG>(length, capacity));
        return buffer;
    }
}

void readData(const Invocation& call)
{
    const CSlotArgument which = call.slot(0);
    const std::string& path = call.positional(1);
    CLibrary library;
    const CK_SLOT_ID slot = which.resolve(library, call.err);
    const std::vector<uint8_t> block = readBlock(slot, path);
    writeWholeFile(path, block.data(), block.size());
    if (path != "-") {
        call.out << "read " << block.size() << " bytes from the token in slot " << slot << " into " << path << "\n";
    }
}

const char* const kChunks =
    "The library moves the block in chunks of at most 1536 bytes, one exchange\n"
    "with the token each, in a single call. On a terminal, a transfer of more\n"
    "than one chunk shows a bar on standard error that counts the exchanges the\n"
    "library completes: a write knows how many chunks there are; a read learns\n"
    "the size only at its end, so its bar counts the chunks received.\n";

}  // namespace

void addDataCommands(std::vector<Command>& commands)
{
    commands.push_back({"data write",
                        "SLOT FILE",
                        "store a file in the token's data block",
                        "Replaces the token's data block with the content of FILE (\"-\": standard\n"
                        "input). The token keeps the new block only once the last chunk has arrived.\n\n" +
                            std::string(kChunks),
                        {},
                        2,
                        2,
                        writeData});
    commands.push_back({"data read",
                        "SLOT FILE",
                        "fetch the token's data block into a file",
                        "Writes the token's data block to FILE (\"-\": standard output). FILE is\n"
                        "replaced only once the whole block has arrived.\n\n" +
                            std::string(kChunks),
                        {},
                        2,
                        2,
                        readData});
}

}  // namespace vexa::tool
