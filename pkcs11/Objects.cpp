#include <mutex>

#include "AttributeCodec.h"
#include "CContext.h"
#include "FieldCallbacks.h"
#include "RpcFunctionIds.h"
#include "SessionCall.h"

namespace vexa::pkcs11 {

using namespace corvel;

namespace {

CK_ULONG widenSize(uint32_t size) { return size == 0xFFFFFFFFu ? CK_UNAVAILABLE_INFORMATION : size; }

void setObject(RpcRequest& request, CK_OBJECT_HANDLE hObject)
{
    request.has_handle = true;
    request.handle = low32(hObject);
}

}  // namespace

CK_RV CContext::C_CreateObject(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount,
                               CK_OBJECT_HANDLE_PTR phObject)
{
    logText(kLogTrace, "C_CreateObject");
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (pTemplate == nullptr || ulCount == 0 || phObject == nullptr || !templateFits(pTemplate, ulCount)) {
        return CKR_ARGUMENTS_BAD;
    }
    std::lock_guard<std::mutex> lock(libraryMutex());
    RpcRequest request = RpcRequest_init_zero;
    request.function = kFnCreateObject;
    AttributeTemplate attributes{pTemplate, ulCount};
    setTemplate(request.template_, attributes);
    RpcResponse response = RpcResponse_init_zero;
    const CK_RV rv = callOnSession_inlock(*this, hSession, request, response);
    if (response.has_handle) {
        *phObject = response.handle;
    }
    return rv;
}

CK_RV CContext::C_CopyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                             CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phNewObject)
{
    logText(kLogTrace, "C_CopyObject");
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (pTemplate == nullptr || phNewObject == nullptr || !templateFits(pTemplate, ulCount)) {
        return CKR_ARGUMENTS_BAD;
    }
    std::lock_guard<std::mutex> lock(libraryMutex());
    RpcRequest request = RpcRequest_init_zero;
    request.function = kFnCopyObject;
    setObject(request, hObject);
    AttributeTemplate attributes{pTemplate, ulCount};
    setTemplate(request.template_, attributes);
    RpcResponse response = RpcResponse_init_zero;
    const CK_RV rv = callOnSession_inlock(*this, hSession, request, response);
    if (response.has_handle) {
        *phNewObject = response.handle;
    }
    if (rv == CKR_FUNCTION_FAILED) {
        logText(kLogError, "copy obj failed");
    }
    return rv;
}

CK_RV CContext::C_DestroyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject)
{
    logText(kLogTrace, "C_DestroyObject");
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    std::lock_guard<std::mutex> lock(libraryMutex());
    RpcRequest request = RpcRequest_init_zero;
    request.function = kFnDestroyObject;
    setObject(request, hObject);
    RpcResponse response = RpcResponse_init_zero;
    return callOnSession_inlock(*this, hSession, request, response);
}

// The size is reported whatever the token answers: 0 when it sent none.
CK_RV CContext::C_GetObjectSize(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ULONG_PTR pulSize)
{
    logText(kLogTrace, "C_GetObjectSize");
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (pulSize == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    std::lock_guard<std::mutex> lock(libraryMutex());
    RpcRequest request = RpcRequest_init_zero;
    request.function = kFnGetObjectSize;
    setObject(request, hObject);
    RpcResponse response = RpcResponse_init_zero;
    const CK_RV rv = callOnSession_inlock(*this, hSession, request, response);
    if (request.has_session) {
        *pulSize = response.has_outputLength ? widenSize(response.outputLength) : 0;
    }
    return rv;
}

CK_RV CContext::C_SetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                                    CK_ULONG ulCount)
{
    logText(kLogTrace, "C_SetAttributeValue");
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (pTemplate == nullptr || ulCount == 0 || !templateFits(pTemplate, ulCount)) {
        return CKR_ARGUMENTS_BAD;
    }
    std::lock_guard<std::mutex> lock(libraryMutex());
    RpcRequest request = RpcRequest_init_zero;
    request.function = kFnSetAttributeValue;
    setObject(request, hObject);
    AttributeTemplate attributes{pTemplate, ulCount};
    setTemplate(request.template_, attributes);
    RpcResponse response = RpcResponse_init_zero;
    return callOnSession_inlock(*this, hSession, request, response);
}

}  // namespace vexa::pkcs11
