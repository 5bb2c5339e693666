#include "CContext.h"
#include "EntryGuard.h"

// Exported entries of the slot, token, session, login, PIN and random
// number functions.

VEXA_PKCS11_ENTRY(C_GetInfo, (CK_INFO_PTR pInfo), (pInfo))
VEXA_PKCS11_ENTRY(C_GetSlotList, (CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount),
                  (tokenPresent, pSlotList, pulCount))
VEXA_PKCS11_ENTRY(C_GetSlotInfo, (CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo), (slotID, pInfo))
VEXA_PKCS11_ENTRY(C_GetTokenInfo, (CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo), (slotID, pInfo))
VEXA_PKCS11_ENTRY(C_InitToken, (CK_SLOT_ID slotID, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen, CK_UTF8CHAR_PTR pLabel),
                  (slotID, pPin, ulPinLen, pLabel))
VEXA_PKCS11_ENTRY(C_InitPIN, (CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen),
                  (hSession, pPin, ulPinLen))
VEXA_PKCS11_ENTRY(C_SetPIN,
                  (CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen, CK_UTF8CHAR_PTR pNewPin,
                   CK_ULONG ulNewLen),
                  (hSession, pOldPin, ulOldLen, pNewPin, ulNewLen))
VEXA_PKCS11_ENTRY(C_OpenSession,
                  (CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR pApplication, CK_NOTIFY Notify,
                   CK_SESSION_HANDLE_PTR phSession),
                  (slotID, flags, pApplication, Notify, phSession))
VEXA_PKCS11_ENTRY(C_CloseSession, (CK_SESSION_HANDLE hSession), (hSession))
VEXA_PKCS11_ENTRY(C_GetSessionInfo, (CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo), (hSession, pInfo))
VEXA_PKCS11_ENTRY(C_Login, (CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen),
                  (hSession, userType, pPin, ulPinLen))
VEXA_PKCS11_ENTRY(C_Logout, (CK_SESSION_HANDLE hSession), (hSession))
VEXA_PKCS11_ENTRY(C_SeedRandom, (CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSeed, CK_ULONG ulSeedLen),
                  (hSession, pSeed, ulSeedLen))
VEXA_PKCS11_ENTRY(C_GenerateRandom, (CK_SESSION_HANDLE hSession, CK_BYTE_PTR pRandomData, CK_ULONG ulRandomLen),
                  (hSession, pRandomData, ulRandomLen))
