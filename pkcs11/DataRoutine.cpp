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
        context.log().logText(corvel::kLogError, "output length beyond the buffer");
        response.rv = CKR_FUNCTION_FAILED;
        response.has_outputLength = false;
    }
    return response.rv;
}

CK_RV runDataFunction(CContext& context, const char* name, CK_SESSION_HANDLE hSession, FunctionId function,
                      const CK_BYTE* input, CK_ULONG inputLength, CK_BYTE* output, CK_ULONG_PTR outputLength)
{
    ByteSpan data{nullptr, 0};
    // PKCS#11 asks for the output length pointer in every one of these
    // calls; without it even a length question has nowhere to put its answer.
    const auto checks = [&] {
        if (outputLength == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        return input != nullptr ? inputSpan(input, inputLength, data) : CKR_OK;
    };
    // Made before the checks have run, so it must not rely on them.
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
        call.request.has_outputLength = true;
        call.request.outputLength = reader.capacity;
    };
    return sessionCall(context, name, hSession, function, checks, fill, [&](TokenCall& call) {
        const CK_RV rv = checkOutput(context, call.response, reader);
        *outputLength = outputLengthOf(call.response, reader);
        return rv;
    });
}

}  // namespace vexa::pkcs11
