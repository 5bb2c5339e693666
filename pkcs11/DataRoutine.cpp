#include "CryptoSteps.h"

namespace vexa::pkcs11 {

CK_ULONG outputLengthOf(const RpcResponse& response, const OutputBuffer& output)
{
    return response.has_outputLength ? response.outputLength : output.received;
}

CK_RV checkOutput(CContext& context, RpcResponse& response, const OutputBuffer& reader)
{
    if (reader.buffer != nullptr && response.rv == CKR_OK && response.has_outputLength &&
        response.outputLength > reader.capacity) {
        context.logText(corvel::kLogError, "output length beyond the buffer");
        response.rv = CKR_FUNCTION_FAILED;
        response.has_outputLength = false;
    }
    return response.rv;
}

CK_RV runDataFunction(CContext& context, const char* name, CK_SESSION_HANDLE hSession, FunctionId function,
                      const CK_BYTE* input, CK_ULONG inputLength, CK_BYTE* output, CK_ULONG_PTR outputLength)
{
    ByteSpan data{nullptr, 0};
    const auto checks = [&] { return input != nullptr ? inputSpan(input, inputLength, data) : CKR_OK; };
    // Without a length there is no room: any output then fails the call.
    OutputBuffer reader{output, outputLength != nullptr ? capacity32(*outputLength) : 0};
    const auto fill = [&](TokenCall& call) {
        if (input != nullptr) {
            setBytes(call.request.data, data);
        }
        if (output == nullptr) {
            call.request.has_lengthOnly = true;
            call.request.lengthOnly = true;
        } else {
            setOutput(call.response.output, reader);
        }
        if (outputLength != nullptr) {
            call.request.has_outputLength = true;
            call.request.outputLength = reader.capacity;
        }
    };
    return sessionCall(context, name, hSession, function, checks, fill, [&](TokenCall& call) {
        const CK_RV rv = checkOutput(context, call.response, reader);
        if (outputLength != nullptr) {
            *outputLength = outputLengthOf(call.response, reader);
        }
        return rv;
    });
}

}  // namespace vexa::pkcs11
