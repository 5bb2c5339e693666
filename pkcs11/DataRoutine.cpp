#include <mutex>

#include "CryptoSteps.h"

namespace vexa::pkcs11 {
namespace {

// input is null when no data is sent.
CK_RV runDataRoutine_inlock(CContext& context, CK_SESSION_HANDLE hSession, FunctionId function, ByteSpan* input,
                            CK_BYTE* output, CK_ULONG_PTR outputLength)
{
    RpcRequest request;
    if (const CK_RV opened = openRequest_inlock(context, hSession, function, request); opened != CKR_OK) {
        return opened;
    }
    if (input != nullptr) {
        setBytes(request.data, *input);
    }
    if (output == nullptr) {
        request.has_lengthOnly = true;
        request.lengthOnly = true;
    }
    if (outputLength != nullptr) {
        request.has_outputLength = true;
        request.outputLength = capacity32(*outputLength);
    }
    RpcResponse response = RpcResponse_init_zero;
    // Without a length there is no room: any output then fails the call.
    OutputBuffer reader{output, request.outputLength};
    if (output != nullptr) {
        setOutput(response.output, reader);
    }
    exchangeWithOutput(context, request, response, reader);
    if (outputLength != nullptr) {
        *outputLength = outputLengthOf(response, reader);
    }
    return response.rv;
}

}  // namespace

CK_RV openRequest_inlock(CContext& context, CK_SESSION_HANDLE hSession, FunctionId function, RpcRequest& request)
{
    request = RpcRequest_init_zero;
    request.function = function;
    return context.bindSession(hSession, request);
}

CK_ULONG outputLengthOf(const RpcResponse& response, const OutputBuffer& output)
{
    return response.has_outputLength ? response.outputLength : output.received;
}

void exchangeWithOutput(CContext& context, RpcRequest& request, RpcResponse& response, const OutputBuffer& reader)
{
    context.callToken(request, response, false);
    if (reader.buffer != nullptr && response.rv == CKR_OK && response.has_outputLength &&
        response.outputLength > reader.capacity) {
        context.logText(corvel::kLogError, "output length beyond the buffer");
        response.rv = CKR_FUNCTION_FAILED;
        response.has_outputLength = false;
    }
}

CK_RV runDataFunction(CContext& context, const char* name, CK_SESSION_HANDLE hSession, FunctionId function,
                      const CK_BYTE* input, CK_ULONG inputLength, CK_BYTE* output, CK_ULONG_PTR outputLength)
{
    context.logText(corvel::kLogTrace, name);
    if (!context.isInitialized()) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    ByteSpan data{nullptr, 0};
    if (input != nullptr) {
        if (const CK_RV fits = inputSpan(input, inputLength, data); fits != CKR_OK) {
            return fits;
        }
    }
    std::lock_guard<std::mutex> lock(CContext::libraryMutex());
    return runDataRoutine_inlock(context, hSession, function, input != nullptr ? &data : nullptr, output, outputLength);
}

}  // namespace vexa::pkcs11
