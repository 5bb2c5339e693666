// The token's data block, moved in chunks. The token answers
// CKR_VEXA_MORE_DATA (CKR_OPERATION_ACTIVE) to every chunk after which it
// expects or has more.
#include <algorithm>

#include "Extensions.h"
#include "FieldCallbacks.h"
#include "RpcFunctionIds.h"

namespace vexa::pkcs11::extensions {
namespace {

// Keeps a chunk call, with its other fields, inside one 2048-byte message.
constexpr uint32_t kWriteChunk = 1536;

}  // namespace

uint32_t writeTokenData(CContext& context, CK_SLOT_ID slotID, const uint8_t* data, CK_ULONG length)
{
    if (!context.isInitialized()) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (!context.hasSlot(slotID)) {
        return CKR_SLOT_ID_INVALID;
    }
    if (data == nullptr || length == 0) {
        return CKR_ARGUMENTS_BAD;
    }
    // The total travels in 32 bits; a longer block cannot be described.
    if (!fitsLengthField(length)) {
        return CKR_DATA_LEN_RANGE;
    }
    const auto total = static_cast<uint32_t>(length);
    RpcRequest request = RpcRequest_init_zero;
    request.function = kFnWriteTokenData;
    request.has_handle = true;
    request.handle = total;
    request.has_handle2 = true;
    for (uint32_t offset = 0; offset < total;) {
        ByteSpan chunk{data + offset, std::min(total - offset, kWriteChunk)};
        offset += chunk.length;
        request.handle2 = offset;
        setBytes(request.data, chunk);
        RpcResponse response = RpcResponse_init_zero;
        context.setCurrentSlot(slotID);
        context.callToken(request, response, true);
        if (response.rv != CKR_VEXA_MORE_DATA) {
            return response.rv;
        }
    }
    return CKR_VEXA_MORE_DATA;
}

uint32_t readTokenData(CContext& context, CK_SLOT_ID slotID, uint8_t* buffer, CK_ULONG* length)
{
    if (!context.isInitialized()) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (!context.hasSlot(slotID)) {
        return CKR_SLOT_ID_INVALID;
    }
    if (buffer == nullptr || length == nullptr || *length == 0) {
        return CKR_ARGUMENTS_BAD;
    }
    const uint32_t capacity = capacity32(*length);
    RpcRequest request = RpcRequest_init_zero;
    request.function = kFnReadTokenData;
    request.has_outputLength = true;
    request.outputLength = capacity;
    uint32_t received = 0;
    uint32_t rv = CKR_OK;
    do {
        OutputBuffer output;
        output.buffer = buffer + received;
        output.capacity = capacity - received;
        RpcResponse response = RpcResponse_init_zero;
        setOutput(response.output, output);
        context.setCurrentSlot(slotID);
        context.callToken(request, response, false);
        rv = response.rv;
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
        request.has_handle = true;
        request.handle = response.has_handle ? response.handle : 0;
        // A full buffer with more to come ends the read with CKR_VEXA_MORE_DATA.
    } while (rv == CKR_VEXA_MORE_DATA && received < capacity);
    *length = received;
    return rv;
}

}  // namespace vexa::pkcs11::extensions
