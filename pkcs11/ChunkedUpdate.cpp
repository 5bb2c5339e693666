#include <algorithm>

#include "CryptoSteps.h"

namespace vexa::pkcs11 {
namespace {

CK_RV sendChunk_inlock(CContext& context, CK_SESSION_HANDLE hSession, FunctionId function, ByteSpan chunk)
{
    RpcRequest request;
    if (const CK_RV opened = openRequest_inlock(context, hSession, function, request); opened != CKR_OK) {
        return opened;
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
