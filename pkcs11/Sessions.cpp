#include <random>

#include "CallShapes.h"
#include "FieldCallbacks.h"

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
    const auto checks = [&] {
        if ((flags & CKF_SERIAL_SESSION) == 0) {
            return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
        }
        return phSession == nullptr ? CKR_ARGUMENTS_BAD : CKR_OK;
    };
    return lockedCall(*this, "C_OpenSession", checks, [&] {
        if (findSlot(slotID) == nullptr) {
            return CKR_SLOT_ID_INVALID;
        }
        const auto slot = static_cast<SlotId>(slotID);
        const auto fill = [&](TokenCall& call) {
            call.request.has_value = true;
            call.request.value = low32(flags);
        };
        return exchangeOnSlot(*this, slotID, fn::OpenSession, fill, [&](TokenCall& call) {
            if (call.response.has_handle) {
                *phSession = makeSessionHandle(slot, call.response.handle);
                addSession(*phSession, slot);
            }
            return call.response.rv;
        });
    });
}

// The handle is forgotten whatever the token answers, so a second close
// never reaches the token.
CK_RV CContext::C_CloseSession(CK_SESSION_HANDLE hSession)
{
    return lockedCall(*this, "C_CloseSession", kNoChecks, [&] {
        const CK_RV rv = exchangeOnSession_inlock(*this, hSession, fn::CloseSession);
        removeSession(hSession);
        return rv;
    });
}

// On a handle the library does not hold, pInfo keeps the flags and state set
// before the lock.
CK_RV CContext::C_GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo)
{
    const auto checks = [&] {
        if (hSession == CK_INVALID_HANDLE) {
            return CKR_SESSION_HANDLE_INVALID;
        }
        if (pInfo == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        pInfo->flags = CKF_SERIAL_SESSION;
        pInfo->state = CKS_RO_PUBLIC_SESSION;
        pInfo->ulDeviceError = 0;
        return CKR_OK;
    };
    const auto fill = [&](TokenCall& call) { pInfo->slotID = static_cast<CK_SLOT_ID>(call.slot); };
    return sessionCall(*this, "C_GetSessionInfo", hSession, fn::GetSessionInfo, checks, fill, [&](TokenCall& call) {
        if (call.response.has_sessionInfo) {
            pInfo->state = call.response.sessionInfo.state;
            pInfo->flags = call.response.sessionInfo.flags;
            pInfo->ulDeviceError = call.response.sessionInfo.deviceError;
        }
        return call.response.rv;
    });
}

}  // namespace vexa::pkcs11
