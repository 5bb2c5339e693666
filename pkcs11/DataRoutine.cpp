#include "CryptoSteps.h"

#include <mutex>

namespace vexa::pkcs11 {

CK_RV inputSpan(const void* data, CK_ULONG length, ByteSpan& span)
{
    if (length > 0xFFFFFFFFu) {
        return CKR_DATA_LEN_RANGE;
    }
    span = ByteSpan{data, static_cast<uint32_t>(length)};
    return CKR_OK;
}

CK_ULONG outputLengthOf(const RpcResponse& response, const OutputBuffer& output)
{
    return response.has_outputLength ? response.outputLength : output.received;
}

CK_RV runDataRoutine_inlock(CContext& context, CK_SESSION_HANDLE hSession, FunctionId function,
                            const CK_BYTE* input, CK_ULONG inputLength, CK_BYTE* output, CK_ULONG_PTR outputLength)
{
    RpcRequest request = RpcRequest_init_zero;
    request.function = function;
    if (const CK_RV bound = context.bindSession(hSession, request); bound != CKR_OK) {
        return bound;
    }
    ByteSpan data{nullptr, 0};
    if (input != nullptr) {
        if (const CK_RV fits = inputSpan(input, inputLength, data); fits != CKR_OK) {
            return fits;
        }
        setBytes(request.data, data);
    }
    if (output == nullptr) {
        request.has_lengthOnly = true;
        request.lengthOnly = true;
    }
    if (outputLength != nullptr) {
        request.has_outputLength = true;
        request.outputLength = low32(*outputLength);
    }
    RpcResponse response = RpcResponse_init_zero;
    // Without a length there is no room: any output then fails the call.
    OutputBuffer reader{output, request.outputLength};
    if (output != nullptr) {
        setOutput(response.output, reader);
    }
    context.callToken(request, response, false);
    if (outputLength != nullptr) {
        *outputLength = outputLengthOf(response, reader);
    }
    return response.rv;
}

CK_RV runDataRoutine(CContext& context, CK_SESSION_HANDLE hSession, FunctionId function, const CK_BYTE* input,
                     CK_ULONG inputLength, CK_BYTE* output, CK_ULONG_PTR outputLength)
{
    std::lock_guard<std::mutex> lock(CContext::libraryMutex());
    return runDataRoutine_inlock(context, hSession, function, input, inputLength, output, outputLength);
}

}  // namespace vexa::pkcs11
