#include "CContext.h"
#include "EntryGuard.h"

// Exported entries of the object functions.

VEXA_PKCS11_ENTRY(C_CreateObject,
                  (CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount,
                   CK_OBJECT_HANDLE_PTR phObject),
                  (hSession, pTemplate, ulCount, phObject))
VEXA_PKCS11_ENTRY(C_CopyObject,
                  (CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount,
                   CK_OBJECT_HANDLE_PTR phNewObject),
                  (hSession, hObject, pTemplate, ulCount, phNewObject))
VEXA_PKCS11_ENTRY(C_DestroyObject, (CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject), (hSession, hObject))
VEXA_PKCS11_ENTRY(C_GetObjectSize, (CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ULONG_PTR pulSize),
                  (hSession, hObject, pulSize))
VEXA_PKCS11_ENTRY(C_GetAttributeValue,
                  (CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount),
                  (hSession, hObject, pTemplate, ulCount))
VEXA_PKCS11_ENTRY(C_SetAttributeValue,
                  (CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount),
                  (hSession, hObject, pTemplate, ulCount))
VEXA_PKCS11_ENTRY(C_FindObjectsInit, (CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount),
                  (hSession, pTemplate, ulCount))
VEXA_PKCS11_ENTRY(C_FindObjects,
                  (CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject, CK_ULONG ulMaxObjectCount,
                   CK_ULONG_PTR pulObjectCount),
                  (hSession, phObject, ulMaxObjectCount, pulObjectCount))
VEXA_PKCS11_ENTRY(C_FindObjectsFinal, (CK_SESSION_HANDLE hSession), (hSession))
