#include <mutex>

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
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    return startSignVerifyOperation(*this, hSession, kFnSignInit, pMechanism, hKey);
}

CK_RV CContext::C_Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
                       CK_ULONG_PTR pulSignatureLen)
{
    logText(corvel::kLogTrace, "C_Sign");
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (pulSignatureLen == nullptr || (pData == nullptr && ulDataLen != 0)) {
        return CKR_ARGUMENTS_BAD;
    }
    if (pSignature == nullptr) {
        *pulSignatureLen = kSignatureRoom;
        return CKR_OK;
    }
    ByteSpan data{nullptr, 0};
    if (const CK_RV fits = inputSpan(pData, ulDataLen, data); fits != CKR_OK) {
        return fits;
    }
    std::lock_guard<std::mutex> lock(libraryMutex());
    RpcRequest request;
    if (const CK_RV opened = openRequest_inlock(*this, hSession, kFnSign, request); opened != CKR_OK) {
        return opened;
    }
    setBytes(request.data, data);
    request.has_outputLength = true;
    request.outputLength = capacity32(*pulSignatureLen);
    RpcResponse response = RpcResponse_init_zero;
    OutputBuffer reader{pSignature, request.outputLength};
    setOutput(response.output, reader);
    exchangeWithOutput(*this, request, response, reader);
    takeSignatureLength(response, reader, *pulSignatureLen);
    return response.rv;
}

CK_RV CContext::C_SignUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen)
{
    logText(corvel::kLogTrace, "C_SignUpdate");
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (pPart == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    std::lock_guard<std::mutex> lock(libraryMutex());
    return sendChunks_inlock(*this, hSession, kFnSignUpdate, pPart, ulPartLen);
}

// The token's outputLength is not used here: the length is what arrived.
CK_RV CContext::C_SignFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen)
{
    logText(corvel::kLogTrace, "C_SignFinal");
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (pulSignatureLen == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    // As in C_Sign: a final request without a buffer would make the token
    // hand over, and end with, a signature the caller has no room for.
    if (pSignature == nullptr) {
        *pulSignatureLen = kSignatureRoom;
        return CKR_OK;
    }
    std::lock_guard<std::mutex> lock(libraryMutex());
    RpcRequest request;
    if (const CK_RV opened = openRequest_inlock(*this, hSession, kFnSignFinal, request); opened != CKR_OK) {
        return opened;
    }
    RpcResponse response = RpcResponse_init_zero;
    OutputBuffer reader{pSignature, capacity32(*pulSignatureLen)};
    setOutput(response.output, reader);
    callToken(request, response, false);
    if (reader.seen) {
        *pulSignatureLen = reader.received;
    }
    return response.rv;
}

}  // namespace vexa::pkcs11
