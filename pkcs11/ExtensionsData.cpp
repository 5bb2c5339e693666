// The token's data block, moved in chunks, with the token held across them.
// The token answers CKR_VEXA_MORE_DATA (CKR_OPERATION_ACTIVE) to every chunk
// after which it expects or has more.
#include <algorithm>
#include <optional>

#include "Extensions.h"

namespace vexa::pkcs11::extensions {
namespace {

// Keeps a chunk call, with its other fields, inside one 2048-byte message.
constexpr uint32_t kWriteChunk = 1536;

CK_RV slotMustExist(CContext& context, CK_SLOT_ID slotID)
{
    return context.slots().find(slotID) != nullptr ? CKR_OK : CKR_SLOT_ID_INVALID;
}

CK_RV writeChunks(CContext& context, CK_SLOT_ID slotID, const uint8_t* data, uint32_t total)
{
    for (uint32_t offset = 0; offset < total;) {
        ByteSpan chunk{data + offset, std::min(total - offset, kWriteChunk)};
        offset += chunk.length;
        const CK_RV rv = exchangeOnSlot(context, slotID, fn::WriteTokenData, [&](TokenCall& call) {
            call.request.has_handle = true;
            call.request.handle = total;
            call.request.has_handle2 = true;
            call.request.handle2 = offset;
            setBytes(call.request.data, chunk);
        });
        if (rv != CKR_VEXA_MORE_DATA) {
            return rv;
        }
    }
    return CKR_VEXA_MORE_DATA;
}

// Asks for more until the token has no more or the buffer is full; each
// request names where the token's previous answer left off.
CK_RV readChunks(CContext& context, CK_SLOT_ID slotID, uint8_t* buffer, uint32_t capacity, uint32_t& received)
{
    std::optional<uint32_t> resume;
    CK_RV rv = CKR_OK;
    do {
        OutputBuffer output{buffer + received, capacity - received};
        const auto fill = [&](TokenCall& call) {
            call.request.has_outputLength = true;
            call.request.outputLength = capacity;
            setOutput(call.response.output, output);
            if (resume) {
                call.request.has_handle = true;
                call.request.handle = *resume;
            }
        };
        rv = exchangeOnSlot(context, slotID, fn::ReadTokenData, fill, [&](TokenCall& call) {
            resume = call.response.has_handle ? call.response.handle : 0;
            return call.response.rv;
        });
        if (rv != CKR_OK && rv != CKR_VEXA_MORE_DATA) {
            break;
        }
        received += output.received;
        // A token that promises more but sends nothing would keep us asking
        // for ever.
        if (rv == CKR_VEXA_MORE_DATA && output.received == 0) {
            rv = CKR_DEVICE_ERROR;
            break;
        }
        // A full buffer with more to come ends the read with CKR_VEXA_MORE_DATA.
    } while (rv == CKR_VEXA_MORE_DATA && received < capacity);
    return rv;
}

}  // namespace

uint32_t writeTokenData(CContext& context, CK_SLOT_ID slotID, const uint8_t* data, CK_ULONG length)
{
    const auto checks = [&] {
        if (const CK_RV exists = slotMustExist(context, slotID); exists != CKR_OK) {
            return exists;
        }
        if (data == nullptr || length == 0) {
            return CKR_ARGUMENTS_BAD;
        }
        // The total travels in 32 bits; a longer block cannot be described.
        return fitsLengthField(length) ? CKR_OK : CKR_DATA_LEN_RANGE;
    };
    return static_cast<uint32_t>(entryCall(context, nullptr, checks, [&] {
        return holdingSlotToken(context, slotID,
                                [&] { return writeChunks(context, slotID, data, static_cast<uint32_t>(length)); });
    }));
}

uint32_t readTokenData(CContext& context, CK_SLOT_ID slotID, uint8_t* buffer, CK_ULONG* length)
{
    const auto checks = [&] {
        if (const CK_RV exists = slotMustExist(context, slotID); exists != CKR_OK) {
            return exists;
        }
        return buffer == nullptr || length == nullptr || *length == 0 ? CKR_ARGUMENTS_BAD : CKR_OK;
    };
    return static_cast<uint32_t>(entryCall(context, nullptr, checks, [&] {
        uint32_t received = 0;
        const CK_RV rv = holdingSlotToken(
            context, slotID, [&] { return readChunks(context, slotID, buffer, capacity32(*length), received); });
        *length = received;
        return rv;
    }));
}

}  // namespace vexa::pkcs11::extensions
