#include "CryptoSteps.h"

namespace vexa::pkcs11 {
namespace {

// What a signature length query is answered with, without asking the token:
// room for the largest signature a token makes (RSA 4096). Asking the token
// would end its operation before the caller has a buffer.
constexpr CK_ULONG kSignatureRoom = 512;

// The caller's length after a signature reply; kept when nothing arrived.
void takeSignatureLength(const RpcResponse& response, const OutputBuffer& reader, CK_ULONG& length)
{
    if (response.has_outputLength || reader.seen) {
        length = outputLengthOf(response, reader);
    }
}

}  // namespace

// Writes no trace line of its own.
CK_RV CContext::C_SignInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey)
{
    return startSignVerifyOperation(*this, nullptr, hSession, fn::SignInit, pMechanism, hKey);
}

CK_RV CContext::C_Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
                       CK_ULONG_PTR pulSignatureLen)
{
    const auto checks = [&] {
        return pulSignatureLen == nullptr || (pData == nullptr && ulDataLen != 0) ? CKR_ARGUMENTS_BAD : CKR_OK;
    };
    return entryCall(*this, "C_Sign", checks, [&] {
        if (pSignature == nullptr) {
            *pulSignatureLen = kSignatureRoom;
            return CKR_OK;
        }
        ByteSpan data{nullptr, 0};
        if (const CK_RV fits = inputSpan(pData, ulDataLen, data); fits != CKR_OK) {
            return fits;
        }
        OutputBuffer reader{pSignature, capacity32(*pulSignatureLen)};
        const auto fill = [&](TokenCall& call) {
            setBytes(call.request.data, data);
            call.request.has_outputLength = true;
            call.request.outputLength = reader.capacity;
            setOutput(call.response.output, reader);
        };
        return exchangeOnSession(*this, hSession, fn::Sign, fill, [&](TokenCall& call) {
            const CK_RV rv = checkOutput(*this, call.response, reader);
            takeSignatureLength(call.response, reader, *pulSignatureLen);
            return rv;
        });
    });
}

CK_RV CContext::C_SignUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen)
{
    return runChunkedUpdate(*this, "C_SignUpdate", hSession, fn::SignUpdate, pPart, ulPartLen, false);
}

// The token's outputLength is not used here: the length is what arrived.
CK_RV CContext::C_SignFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen)
{
    const auto checks = [&] { return pulSignatureLen == nullptr ? CKR_ARGUMENTS_BAD : CKR_OK; };
    return entryCall(*this, "C_SignFinal", checks, [&] {
        // As in C_Sign: a final request without a buffer would make the token
        // hand over, and end with, a signature the caller has no room for.
        if (pSignature == nullptr) {
            *pulSignatureLen = kSignatureRoom;
            return CKR_OK;
        }
        OutputBuffer reader{pSignature, capacity32(*pulSignatureLen)};
        const auto fill = [&](TokenCall& call) { setOutput(call.response.output, reader); };
        return exchangeOnSession(*this, hSession, fn::SignFinal, fill, [&](TokenCall& call) {
            if (reader.seen) {
                *pulSignatureLen = reader.received;
            }
            return CK_RV{call.response.rv};
        });
    });
}

}  // namespace vexa::pkcs11
