#include "CContext.h"
#include "EntryGuard.h"

// The module's function list. Every entry is also exported under its PKCS#11
// name (see vexa-pkcs11.map); the entries of each function family live in
// that family's *Entries.cpp file.

VEXA_PKCS11_ENTRY(C_Initialize, (CK_VOID_PTR pInitArgs), (pInitArgs))
VEXA_PKCS11_ENTRY(C_Finalize, (CK_VOID_PTR pReserved), (pReserved))
VEXA_PKCS11_ENTRY(C_CloseAllSessions, (CK_SLOT_ID slotID), (slotID))

// Functions the tokens do not provide: answered at once, in any state.
extern "C" {

VEXA_EXPORT CK_RV C_GetOperationState(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR)
{
    return CKR_FUNCTION_NOT_SUPPORTED;
}
VEXA_EXPORT CK_RV C_SetOperationState(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE)
{
    return CKR_FUNCTION_NOT_SUPPORTED;
}
VEXA_EXPORT CK_RV C_SignRecoverInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE)
{
    return CKR_FUNCTION_NOT_SUPPORTED;
}
VEXA_EXPORT CK_RV C_SignRecover(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR)
{
    return CKR_FUNCTION_NOT_SUPPORTED;
}
VEXA_EXPORT CK_RV C_VerifyRecoverInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE)
{
    return CKR_FUNCTION_NOT_SUPPORTED;
}
VEXA_EXPORT CK_RV C_VerifyRecover(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR)
{
    return CKR_FUNCTION_NOT_SUPPORTED;
}
VEXA_EXPORT CK_RV C_DigestEncryptUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR)
{
    return CKR_FUNCTION_NOT_SUPPORTED;
}
VEXA_EXPORT CK_RV C_DecryptDigestUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR)
{
    return CKR_FUNCTION_NOT_SUPPORTED;
}
VEXA_EXPORT CK_RV C_SignEncryptUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR)
{
    return CKR_FUNCTION_NOT_SUPPORTED;
}
VEXA_EXPORT CK_RV C_DecryptVerifyUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR)
{
    return CKR_FUNCTION_NOT_SUPPORTED;
}
VEXA_EXPORT CK_RV C_GetFunctionStatus(CK_SESSION_HANDLE) { return CKR_FUNCTION_NOT_PARALLEL; }
VEXA_EXPORT CK_RV C_CancelFunction(CK_SESSION_HANDLE) { return CKR_FUNCTION_NOT_PARALLEL; }

VEXA_EXPORT CK_RV C_WaitForSlotEvent(CK_FLAGS, CK_SLOT_ID_PTR, CK_VOID_PTR)
{
    return vexa::pkcs11::guardedCall([] {
        return vexa::pkcs11::CContext::instance().isInitialized() ? CKR_FUNCTION_NOT_SUPPORTED
                                                                  : CKR_CRYPTOKI_NOT_INITIALIZED;
    });
}

}  // extern "C"

namespace {

// The 68 entries in the order of PKCS#11 2.40.
const CK_FUNCTION_LIST kFunctionList = {
    {2, 40},
    C_Initialize,
    C_Finalize,
    C_GetInfo,
    C_GetFunctionList,
    C_GetSlotList,
    C_GetSlotInfo,
    C_GetTokenInfo,
    C_GetMechanismList,
    C_GetMechanismInfo,
    C_InitToken,
    C_InitPIN,
    C_SetPIN,
    C_OpenSession,
    C_CloseSession,
    C_CloseAllSessions,
    C_GetSessionInfo,
    C_GetOperationState,
    C_SetOperationState,
    C_Login,
    C_Logout,
    C_CreateObject,
    C_CopyObject,
    C_DestroyObject,
    C_GetObjectSize,
    C_GetAttributeValue,
    C_SetAttributeValue,
    C_FindObjectsInit,
    C_FindObjects,
    C_FindObjectsFinal,
    C_EncryptInit,
    C_Encrypt,
    C_EncryptUpdate,
    C_EncryptFinal,
    C_DecryptInit,
    C_Decrypt,
    C_DecryptUpdate,
    C_DecryptFinal,
    C_DigestInit,
    C_Digest,
    C_DigestUpdate,
    C_DigestKey,
    C_DigestFinal,
    C_SignInit,
    C_Sign,
    C_SignUpdate,
    C_SignFinal,
    C_SignRecoverInit,
    C_SignRecover,
    C_VerifyInit,
    C_Verify,
    C_VerifyUpdate,
    C_VerifyFinal,
    C_VerifyRecoverInit,
    C_VerifyRecover,
    C_DigestEncryptUpdate,
    C_DecryptDigestUpdate,
    C_SignEncryptUpdate,
    C_DecryptVerifyUpdate,
    C_GenerateKey,
    C_GenerateKeyPair,
    C_WrapKey,
    C_UnwrapKey,
    C_DeriveKey,
    C_SeedRandom,
    C_GenerateRandom,
    C_GetFunctionStatus,
    C_CancelFunction,
    C_WaitForSlotEvent,
};

}  // namespace

// Works before C_Initialize: it is how applications find every other entry.
extern "C" VEXA_EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList)
{
    return vexa::pkcs11::guardedCall([&] {
        vexa::pkcs11::CContext::instance().log().logText(corvel::kLogTrace, "C_GetFunctionList");
        if (ppFunctionList == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        *ppFunctionList = const_cast<CK_FUNCTION_LIST_PTR>(&kFunctionList);
        return CKR_OK;
    });
}
