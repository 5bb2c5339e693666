#include <algorithm>

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

namespace {

// One request of a data function with the caller's buffers.
CK_RV exchangeData(CContext& context, CK_SESSION_HANDLE hSession, FunctionId function, const CK_BYTE* input,
                   ByteSpan& data, CK_BYTE* output, CK_ULONG_PTR outputLength)
{
    OutputBuffer reader{output, capacity32(*outputLength)};
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
    return exchangeOnSession(context, hSession, function, fill, [&](TokenCall& call) {
        const CK_RV rv = checkOutput(context, call.response, reader);
        *outputLength = outputLengthOf(call.response, reader);
        return rv;
    });
}

// One request whose output the library collects, appended to `collected`.
CK_RV collectData(CContext& context, CK_SESSION_HANDLE hSession, FunctionId function, ByteSpan* data,
                  std::vector<uint8_t>& collected)
{
    GrowingOutput output;
    const auto fill = [&](TokenCall& call) {
        if (data != nullptr) {
            setBytes(call.request.data, *data);
        }
        call.request.has_outputLength = true;
        call.request.outputLength = kGrowingOutputMax - 48;
        setGrowingOutput(call.response.output, output);
    };
    return exchangeOnSession(context, hSession, function, fill, [&](TokenCall& call) {
        if (call.response.rv == CKR_OK) {
            collected.insert(collected.end(), output.bytes.begin(), output.bytes.end());
        }
        return CK_RV{call.response.rv};
    });
}

// Updates of kCipherPart bytes each, their output appended to collected.
CK_RV collectParts(CContext& context, CK_SESSION_HANDLE hSession, FunctionId update, const CK_BYTE* input,
                   CK_ULONG inputLength, std::vector<uint8_t>& collected)
{
    for (CK_ULONG offset = 0; offset < inputLength; offset += kCipherPart) {
        ByteSpan part{input + offset, static_cast<uint32_t>(std::min<CK_ULONG>(inputLength - offset, kCipherPart))};
        if (const CK_RV rv = collectData(context, hSession, update, &part, collected); rv != CKR_OK) {
            return rv;
        }
    }
    return CKR_OK;
}

// A single-part encryption or decryption of input too large for one
// message, as updates and a final; the library holds the whole output and
// hands it out as PKCS#11 does.
CK_RV cipherInParts(CContext& context, CK_SESSION_HANDLE hSession, const DataFunctions& functions, const CK_BYTE* input,
                    CK_ULONG inputLength, CK_BYTE* output, CK_ULONG_PTR outputLength)
{
    std::vector<uint8_t> collected;
    if (const CK_RV rv = collectParts(context, hSession, functions.update, input, inputLength, collected);
        rv != CKR_OK) {
        return rv;
    }
    if (const CK_RV rv = collectData(context, hSession, functions.final, nullptr, collected); rv != CKR_OK) {
        return rv;
    }
    return handOutResult(context, hSession, functions.family, std::move(collected), output, outputLength);
}

// PKCS#11 asks for the output length pointer in every one of these calls;
// without it even a length question has nowhere to put its answer.
CK_RV checkDataArguments(const CK_BYTE* input, CK_ULONG inputLength, const CK_ULONG* outputLength, ByteSpan& data)
{
    if (outputLength == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    return input != nullptr ? inputSpan(input, inputLength, data) : CKR_OK;
}

}  // namespace

CK_RV runDataFunction(CContext& context, const char* name, CK_SESSION_HANDLE hSession, FunctionId function,
                      const CK_BYTE* input, CK_ULONG inputLength, CK_BYTE* output, CK_ULONG_PTR outputLength)
{
    ByteSpan data{nullptr, 0};
    const auto checks = [&] { return checkDataArguments(input, inputLength, outputLength, data); };
    const FamilyCall call = *familyOf(function);
    return operationStep(context, hSession, call.family, [&] {
        return entryCall(context, name, checks, [&] {
            if (call.kind != CallKind::Part || data.length <= kOneMessageInput) {
                return exchangeData(context, hSession, function, input, data, output, outputLength);
            }
            // An update too large for one message goes in parts; the library
            // collects their output and hands it out as one.
            return holdingSessionToken(context, hSession, [&] {
                if (auto kept = handOutKeptResult(context, hSession, call.family, output, outputLength)) {
                    return *kept;
                }
                std::vector<uint8_t> collected;
                if (const CK_RV rv = collectParts(context, hSession, function, input, inputLength, collected);
                    rv != CKR_OK) {
                    return rv;
                }
                return handOutResult(context, hSession, call.family, std::move(collected), output, outputLength);
            });
        });
    });
}

CK_RV runSinglePartData(CContext& context, const char* name, CK_SESSION_HANDLE hSession, const DataFunctions& functions,
                        const CK_BYTE* input, CK_ULONG inputLength, CK_BYTE* output, CK_ULONG_PTR outputLength)
{
    ByteSpan data{nullptr, 0};
    const auto checks = [&] { return checkDataArguments(input, inputLength, outputLength, data); };
    const Family family = functions.family;
    return operationStep(context, hSession, family, [&] {
        return entryCall(context, name, checks, [&] {
            return holdingSessionToken(context, hSession, [&] {
                if (auto kept = handOutKeptResult(context, hSession, family, output, outputLength)) {
                    return *kept;
                }
                if (data.length <= kOneMessageInput) {
                    return exchangeData(context, hSession, functions.single, input, data, output, outputLength);
                }
                if (!operationRunsInParts(context, hSession, family)) {
                    context.log().logFormat(corvel::kLogError, "%s: %lu bytes do not fit one message", name,
                                            inputLength);
                    return CKR_DATA_LEN_RANGE;
                }
                return cipherInParts(context, hSession, functions, input, inputLength, output, outputLength);
            });
        });
    });
}

}  // namespace vexa::pkcs11
