#include "CryptoSteps.h"

#include <algorithm>

namespace vexa::pkcs11 {
namespace {

CK_RV sendChunk_inlock(CContext& context, CK_SESSION_HANDLE hSession, FunctionId function, ByteSpan chunk)
{
    RpcRequest request = RpcRequest_init_zero;
    request.function = function;
    if (const CK_RV bound = context.bindSession(hSession, request); bound != CKR_OK) {
        return bound;
    }
    setBytes(request.data, chunk);
    RpcResponse response = RpcResponse_init_zero;
    context.callToken(request, response, true);
    return response.rv;
}

}  // namespace

CK_RV sendChunks_inlock(CContext& context, CK_SESSION_HANDLE hSession, FunctionId function, const CK_BYTE* input,
                        CK_ULONG length)
{
    CK_ULONG offset = 0;
    CK_RV rv = CKR_OK;
    do {
        const CK_ULONG n = std::min<CK_ULONG>(length - offset, kUpdateChunkSize);
        // A null input only ever comes with length 0: never offset a null pointer.
        const CK_BYTE* start = input == nullptr ? nullptr : input + offset;
        rv = sendChunk_inlock(context, hSession, function, ByteSpan{start, static_cast<uint32_t>(n)});
        offset += n;
    } while (offset < length && rv == CKR_OK);
    return rv;
}

}  // namespace vexa::pkcs11
