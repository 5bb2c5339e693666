#include <mutex>

#include "CryptoSteps.h"

namespace vexa::pkcs11 {

CK_RV CContext::C_VerifyInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey)
{
    logText(corvel::kLogTrace, "C_VerifyInit");
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    return startSignVerifyOperation(*this, hSession, kFnVerifyInit, pMechanism, hKey);
}

CK_RV CContext::C_Verify(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
                         CK_ULONG ulSignatureLen)
{
    logText(corvel::kLogTrace, "C_Verify");
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if ((pData == nullptr && ulDataLen != 0) || pSignature == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    ByteSpan data{nullptr, 0};
    ByteSpan signature{nullptr, 0};
    if (const CK_RV fits = inputSpan(pData, ulDataLen, data); fits != CKR_OK) {
        return fits;
    }
    if (const CK_RV fits = inputSpan(pSignature, ulSignatureLen, signature); fits != CKR_OK) {
        return fits;
    }
    std::lock_guard<std::mutex> lock(libraryMutex());
    RpcRequest request;
    if (const CK_RV opened = openRequest_inlock(*this, hSession, kFnVerify, request); opened != CKR_OK) {
        return opened;
    }
    setBytes(request.data, data);
    setBytes(request.data2, signature);
    RpcResponse response = RpcResponse_init_zero;
    callToken(request, response, true);
    return response.rv;
}

CK_RV CContext::C_VerifyUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen)
{
    logText(corvel::kLogTrace, "C_VerifyUpdate");
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (pPart == nullptr && ulPartLen != 0) {
        return CKR_ARGUMENTS_BAD;
    }
    std::lock_guard<std::mutex> lock(libraryMutex());
    return sendChunks_inlock(*this, hSession, kFnVerifyUpdate, pPart, ulPartLen);
}

CK_RV CContext::C_VerifyFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen)
{
    logText(corvel::kLogTrace, "C_VerifyFinal");
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (pSignature == nullptr && ulSignatureLen != 0) {
        return CKR_ARGUMENTS_BAD;
    }
    ByteSpan signature{nullptr, 0};
    if (const CK_RV fits = inputSpan(pSignature, ulSignatureLen, signature); fits != CKR_OK) {
        return fits;
    }
    std::lock_guard<std::mutex> lock(libraryMutex());
    RpcRequest request;
    if (const CK_RV opened = openRequest_inlock(*this, hSession, kFnVerifyFinal, request); opened != CKR_OK) {
        return opened;
    }
    setBytes(request.data, signature);
    RpcResponse response = RpcResponse_init_zero;
    callToken(request, response, true);
    return response.rv;
}

}  // namespace vexa::pkcs11
