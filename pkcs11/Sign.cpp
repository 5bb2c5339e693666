#include "CryptoSteps.h"

namespace vexa::pkcs11 {
namespace {

// The caller's length after a signature reply; kept when nothing arrived.
void takeSignatureLength(const RpcResponse& response, const OutputBuffer& reader, CK_ULONG& length)
{
    if (response.has_outputLength || reader.seen) {
        length = outputLengthOf(response, reader);
    }
}

// A length query that leaves the operation as it is: C_Sign with no room,
// which the token answers with CKR_BUFFER_TOO_SMALL and the length. The
// length of a signature does not depend on the data, so data too large for
// one message is not sent. A token that signs anyway has ended its operation;
// the library keeps that signature for the caller.
CK_RV askSignatureLength(CContext& context, CK_SESSION_HANDLE hSession, ByteSpan data, CK_ULONG_PTR length)
{
    ByteSpan sent = data.length <= kOneMessageInput ? data : ByteSpan{data.data, 0};
    GrowingOutput output;
    const auto fill = [&](TokenCall& call) {
        setBytes(call.request.data, sent);
        call.request.has_outputLength = true;
        call.request.outputLength = 0;
        setGrowingOutput(call.response.output, output);
    };
    return exchangeOnSession(context, hSession, fn::Sign, fill, [&](TokenCall& call) {
        const CK_RV rv = call.response.rv;
        if (rv == CKR_BUFFER_TOO_SMALL && call.response.has_outputLength) {
            *length = call.response.outputLength;
            return CKR_OK;
        }
        if (rv == CKR_OK) {
            return handOutResult(context, hSession, Family::Sign, std::move(output.bytes), nullptr, length);
        }
        return rv;
    });
}

// A C_SignFinal whose signature the library takes whole, so that a caller
// without room for it gets CKR_BUFFER_TOO_SMALL and, on the next call, the
// signature the token made (the token ended its operation making it).
CK_RV finishSignature(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature,
                      CK_ULONG_PTR pulSignatureLen)
{
    GrowingOutput output;
    const auto fill = [&](TokenCall& call) { setGrowingOutput(call.response.output, output); };
    return exchangeOnSession(context, hSession, fn::SignFinal, fill, [&](TokenCall& call) {
        if (call.response.rv != CKR_OK) {
            return CK_RV{call.response.rv};
        }
        return handOutResult(context, hSession, Family::Sign, std::move(output.bytes), pSignature, pulSignatureLen);
    });
}

// One C_Sign request with the caller's buffer: the token answers a buffer
// too small with CKR_BUFFER_TOO_SMALL and keeps its operation.
CK_RV signInOneMessage(CContext& context, CK_SESSION_HANDLE hSession, ByteSpan data, CK_BYTE_PTR pSignature,
                       CK_ULONG_PTR pulSignatureLen)
{
    OutputBuffer reader{pSignature, capacity32(*pulSignatureLen)};
    const auto fill = [&](TokenCall& call) {
        setBytes(call.request.data, data);
        call.request.has_outputLength = true;
        call.request.outputLength = reader.capacity;
        setOutput(call.response.output, reader);
    };
    return exchangeOnSession(context, hSession, fn::Sign, fill, [&](TokenCall& call) {
        const CK_RV rv = checkOutput(context, call.response, reader);
        takeSignatureLength(call.response, reader, *pulSignatureLen);
        return rv;
    });
}

}  // namespace

// Writes no trace line of its own.
CK_RV CContext::C_SignInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey)
{
    return startSignVerifyOperation(*this, nullptr, hSession, fn::SignInit, pMechanism, hKey);
}

// Data too large for one message goes as C_SignUpdate parts and a
// C_SignFinal when the mechanism runs in parts; otherwise the call fails
// with CKR_DATA_LEN_RANGE, which ends the operation on both sides.
CK_RV CContext::C_Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
                       CK_ULONG_PTR pulSignatureLen)
{
    ByteSpan data{nullptr, 0};
    const auto checks = [&] {
        if (pulSignatureLen == nullptr || (pData == nullptr && ulDataLen != 0)) {
            return CKR_ARGUMENTS_BAD;
        }
        return inputSpan(pData, ulDataLen, data);
    };
    return operationStep(*this, hSession, Family::Sign, [&] {
        return entryCall(*this, "C_Sign", checks, [&] {
            return holdingSessionToken(*this, hSession, [&] {
                if (auto kept = handOutKeptResult(*this, hSession, Family::Sign, pSignature, pulSignatureLen)) {
                    return *kept;
                }
                if (pSignature == nullptr) {
                    return askSignatureLength(*this, hSession, data, pulSignatureLen);
                }
                if (data.length <= kOneMessageInput) {
                    return signInOneMessage(*this, hSession, data, pSignature, pulSignatureLen);
                }
                if (!operationRunsInParts(*this, hSession, Family::Sign)) {
                    m_log.logFormat(corvel::kLogError, "C_Sign: %lu bytes do not fit one message", ulDataLen);
                    return CKR_DATA_LEN_RANGE;
                }
                const CK_RV absorbed = sendInParts(*this, hSession, fn::SignUpdate, pData, ulDataLen, kUpdateChunkSize);
                return absorbed != CKR_OK ? absorbed : finishSignature(*this, hSession, pSignature, pulSignatureLen);
            });
        });
    });
}

CK_RV CContext::C_SignUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen)
{
    return runChunkedUpdate(*this, "C_SignUpdate", hSession, fn::SignUpdate, pPart, ulPartLen, false);
}

// The request carries no buffer size: the token sends the signature, and
// the library hands it out as PKCS#11 does (a length query, or a buffer too
// small, keeps it for the next call).
CK_RV CContext::C_SignFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen)
{
    const auto checks = [&] { return pulSignatureLen == nullptr ? CKR_ARGUMENTS_BAD : CKR_OK; };
    return operationStep(*this, hSession, Family::Sign, [&] {
        return entryCall(*this, "C_SignFinal", checks, [&] {
            return holdingSessionToken(*this, hSession, [&] {
                if (auto kept = handOutKeptResult(*this, hSession, Family::Sign, pSignature, pulSignatureLen)) {
                    return *kept;
                }
                return finishSignature(*this, hSession, pSignature, pulSignatureLen);
            });
        });
    });
}

}  // namespace vexa::pkcs11
