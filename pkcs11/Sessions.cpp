#include <mutex>
#include <random>

#include "CContext.h"
#include "FieldCallbacks.h"
#include "RpcFunctionIds.h"
#include "SessionCall.h"

namespace vexa::pkcs11 {

using namespace corvel;

namespace {

// Slot id in the top byte, 16 fresh random bits below it, the token's own
// session number in the low 32 bits: handles of different openings differ
// even when a token reuses its numbers.
CK_SESSION_HANDLE makeSessionHandle(SlotId slot, uint32_t tokenSession)
{
    std::random_device source;
    const CK_SESSION_HANDLE random = source() & 0xFFFFu;
    return (static_cast<CK_SESSION_HANDLE>(slot) << 56) + (random << 40) + tokenSession;
}

}  // namespace

// No notification is ever made: pApplication and Notify are not used.
CK_RV CContext::C_OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR pApplication, CK_NOTIFY Notify,
                              CK_SESSION_HANDLE_PTR phSession)
{
    (void)pApplication;
    (void)Notify;
    logText(kLogTrace, "C_OpenSession");
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if ((flags & CKF_SERIAL_SESSION) == 0) {
        return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
    }
    if (phSession == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    std::lock_guard<std::mutex> lock(libraryMutex());
    const CK_RV selected = selectSlot(slotID);
    if (selected != CKR_OK) {
        return selected;
    }
    const SlotId slot = currentSlot();
    RpcRequest request = RpcRequest_init_zero;
    request.function = kFnOpenSession;
    request.has_value = true;
    request.value = low32(flags);
    RpcResponse response = RpcResponse_init_zero;
    callToken(request, response, true);
    if (response.has_handle) {
        *phSession = makeSessionHandle(slot, response.handle);
        addSession(*phSession, slot);
    }
    return response.rv;
}

// The handle is forgotten whatever the token answers, so a second close
// never reaches the token.
CK_RV CContext::C_CloseSession(CK_SESSION_HANDLE hSession)
{
    logText(kLogTrace, "C_CloseSession");
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    std::lock_guard<std::mutex> lock(libraryMutex());
    RpcRequest request = RpcRequest_init_zero;
    request.function = kFnCloseSession;
    RpcResponse response = RpcResponse_init_zero;
    const CK_RV rv = callOnSession_inlock(*this, hSession, request, response);
    removeSession(hSession);
    return rv;
}

CK_RV CContext::C_GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo)
{
    logText(kLogTrace, "C_GetSessionInfo");
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (hSession == CK_INVALID_HANDLE) {
        return CKR_SESSION_HANDLE_INVALID;
    }
    if (pInfo == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    pInfo->flags = CKF_SERIAL_SESSION;
    pInfo->state = CKS_RO_PUBLIC_SESSION;
    std::lock_guard<std::mutex> lock(libraryMutex());
    RpcRequest request = RpcRequest_init_zero;
    const CK_RV bound = bindSession(hSession, request);
    if (bound != CKR_OK) {
        return bound;
    }
    pInfo->slotID = static_cast<CK_SLOT_ID>(currentSlot());
    request.function = kFnGetSessionInfo;
    RpcResponse response = RpcResponse_init_zero;
    callToken(request, response, true);
    if (response.has_sessionInfo) {
        pInfo->state = response.sessionInfo.state;
        pInfo->flags = response.sessionInfo.flags;
        pInfo->ulDeviceError = response.sessionInfo.deviceError;
    }
    return response.rv;
}

}  // namespace vexa::pkcs11
