#include <mutex>

#include "CContext.h"
#include "FieldCallbacks.h"
#include "RpcFunctionIds.h"
#include "SessionCall.h"

namespace vexa::pkcs11 {

using namespace corvel;

CK_RV CContext::C_Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen)
{
    logText(kLogTrace, "C_Login");
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (pPin == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    ByteSpan pin{nullptr, 0};
    if (const CK_RV fits = inputSpan(pPin, ulPinLen, pin); fits != CKR_OK) {
        return fits;
    }
    std::lock_guard<std::mutex> lock(libraryMutex());
    RpcRequest request = RpcRequest_init_zero;
    request.function = kFnLogin;
    request.has_value = true;
    request.value = low32(userType);
    setBytes(request.data, pin);
    RpcResponse response = RpcResponse_init_zero;
    return callOnSession_inlock(*this, hSession, request, response);
}

CK_RV CContext::C_Logout(CK_SESSION_HANDLE hSession)
{
    logText(kLogTrace, "C_Logout");
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    std::lock_guard<std::mutex> lock(libraryMutex());
    RpcRequest request = RpcRequest_init_zero;
    request.function = kFnLogout;
    RpcResponse response = RpcResponse_init_zero;
    return callOnSession_inlock(*this, hSession, request, response);
}

// A null PIN of length 0 is sent empty: the token may take the PIN from a
// protected path of its own.
CK_RV CContext::C_InitPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen)
{
    logText(kLogTrace, "C_InitPIN");
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (pPin == nullptr && ulPinLen != 0) {
        return CKR_ARGUMENTS_BAD;
    }
    ByteSpan pin{nullptr, 0};
    if (const CK_RV fits = inputSpan(pPin, ulPinLen, pin); fits != CKR_OK) {
        return fits;
    }
    std::lock_guard<std::mutex> lock(libraryMutex());
    RpcRequest request = RpcRequest_init_zero;
    request.function = kFnInitPIN;
    setBytes(request.data, pin);
    RpcResponse response = RpcResponse_init_zero;
    return callOnSession_inlock(*this, hSession, request, response);
}

CK_RV CContext::C_SetPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen,
                         CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen)
{
    logText(kLogTrace, "C_SetPIN");
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (pOldPin == nullptr || pNewPin == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    ByteSpan oldPin{nullptr, 0};
    ByteSpan newPin{nullptr, 0};
    if (const CK_RV fits = inputSpan(pOldPin, ulOldLen, oldPin); fits != CKR_OK) {
        return fits;
    }
    if (const CK_RV fits = inputSpan(pNewPin, ulNewLen, newPin); fits != CKR_OK) {
        return fits;
    }
    std::lock_guard<std::mutex> lock(libraryMutex());
    RpcRequest request = RpcRequest_init_zero;
    request.function = kFnSetPIN;
    setBytes(request.data, oldPin);
    setBytes(request.data2, newPin);
    RpcResponse response = RpcResponse_init_zero;
    return callOnSession_inlock(*this, hSession, request, response);
}

}  // namespace vexa::pkcs11
