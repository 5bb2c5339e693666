#include "CContext.h"
#include "EntryGuard.h"

// Exported entries of the mechanism and cryptographic functions.

VEXA_PKCS11_ENTRY(C_GetMechanismList, (CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList, CK_ULONG_PTR pulCount),
                  (slotID, pMechanismList, pulCount))
VEXA_PKCS11_ENTRY(C_GetMechanismInfo, (CK_SLOT_ID slotID, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR pInfo),
                  (slotID, type, pInfo))

VEXA_PKCS11_ENTRY(C_EncryptInit, (CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey),
                  (hSession, pMechanism, hKey))
VEXA_PKCS11_ENTRY(C_Encrypt,
                  (CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pEncryptedData,
                   CK_ULONG_PTR pulEncryptedDataLen),
                  (hSession, pData, ulDataLen, pEncryptedData, pulEncryptedDataLen))
VEXA_PKCS11_ENTRY(C_EncryptUpdate,
                  (CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen, CK_BYTE_PTR pEncryptedPart,
                   CK_ULONG_PTR pulEncryptedPartLen),
                  (hSession, pPart, ulPartLen, pEncryptedPart, pulEncryptedPartLen))
VEXA_PKCS11_ENTRY(C_EncryptFinal,
                  (CK_SESSION_HANDLE hSession, CK_BYTE_PTR pLastEncryptedPart, CK_ULONG_PTR pulLastEncryptedPartLen),
                  (hSession, pLastEncryptedPart, pulLastEncryptedPartLen))

VEXA_PKCS11_ENTRY(C_DecryptInit, (CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey),
                  (hSession, pMechanism, hKey))
VEXA_PKCS11_ENTRY(C_Decrypt,
                  (CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedData, CK_ULONG ulEncryptedDataLen,
                   CK_BYTE_PTR pData, CK_ULONG_PTR pulDataLen),
                  (hSession, pEncryptedData, ulEncryptedDataLen, pData, pulDataLen))
VEXA_PKCS11_ENTRY(C_DecryptUpdate,
                  (CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedPart, CK_ULONG ulEncryptedPartLen,
                   CK_BYTE_PTR pPart, CK_ULONG_PTR pulPartLen),
                  (hSession, pEncryptedPart, ulEncryptedPartLen, pPart, pulPartLen))
VEXA_PKCS11_ENTRY(C_DecryptFinal, (CK_SESSION_HANDLE hSession, CK_BYTE_PTR pLastPart, CK_ULONG_PTR pulLastPartLen),
                  (hSession, pLastPart, pulLastPartLen))

VEXA_PKCS11_ENTRY(C_DigestInit, (CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism), (hSession, pMechanism))
VEXA_PKCS11_ENTRY(C_Digest,
                  (CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pDigest,
                   CK_ULONG_PTR pulDigestLen),
                  (hSession, pData, ulDataLen, pDigest, pulDigestLen))
VEXA_PKCS11_ENTRY(C_DigestUpdate, (CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen),
                  (hSession, pPart, ulPartLen))
VEXA_PKCS11_ENTRY(C_DigestKey, (CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hKey), (hSession, hKey))
VEXA_PKCS11_ENTRY(C_DigestFinal, (CK_SESSION_HANDLE hSession, CK_BYTE_PTR pDigest, CK_ULONG_PTR pulDigestLen),
                  (hSession, pDigest, pulDigestLen))

VEXA_PKCS11_ENTRY(C_SignInit, (CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey),
                  (hSession, pMechanism, hKey))
VEXA_PKCS11_ENTRY(C_Sign,
                  (CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
                   CK_ULONG_PTR pulSignatureLen),
                  (hSession, pData, ulDataLen, pSignature, pulSignatureLen))
VEXA_PKCS11_ENTRY(C_SignUpdate, (CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen),
                  (hSession, pPart, ulPartLen))
VEXA_PKCS11_ENTRY(C_SignFinal, (CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen),
                  (hSession, pSignature, pulSignatureLen))

VEXA_PKCS11_ENTRY(C_VerifyInit, (CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey),
                  (hSession, pMechanism, hKey))
VEXA_PKCS11_ENTRY(C_Verify,
                  (CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
                   CK_ULONG ulSignatureLen),
                  (hSession, pData, ulDataLen, pSignature, ulSignatureLen))
VEXA_PKCS11_ENTRY(C_VerifyUpdate, (CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen),
                  (hSession, pPart, ulPartLen))
VEXA_PKCS11_ENTRY(C_VerifyFinal, (CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen),
                  (hSession, pSignature, ulSignatureLen))

VEXA_PKCS11_ENTRY(C_GenerateKey,
                  (CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_ATTRIBUTE_PTR pTemplate,
                   CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phKey),
                  (hSession, pMechanism, pTemplate, ulCount, phKey))
VEXA_PKCS11_ENTRY(C_GenerateKeyPair,
                  (CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_ATTRIBUTE_PTR pPublicKeyTemplate,
                   CK_ULONG ulPublicKeyAttributeCount, CK_ATTRIBUTE_PTR pPrivateKeyTemplate,
                   CK_ULONG ulPrivateKeyAttributeCount, CK_OBJECT_HANDLE_PTR phPublicKey,
                   CK_OBJECT_HANDLE_PTR phPrivateKey),
                  (hSession, pMechanism, pPublicKeyTemplate, ulPublicKeyAttributeCount, pPrivateKeyTemplate,
                   ulPrivateKeyAttributeCount, phPublicKey, phPrivateKey))
VEXA_PKCS11_ENTRY(C_WrapKey,
                  (CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hWrappingKey,
                   CK_OBJECT_HANDLE hKey, CK_BYTE_PTR pWrappedKey, CK_ULONG_PTR pulWrappedKeyLen),
                  (hSession, pMechanism, hWrappingKey, hKey, pWrappedKey, pulWrappedKeyLen))
VEXA_PKCS11_ENTRY(C_UnwrapKey,
                  (CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hUnwrappingKey,
                   CK_BYTE_PTR pWrappedKey, CK_ULONG ulWrappedKeyLen, CK_ATTRIBUTE_PTR pTemplate,
                   CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR phKey),
                  (hSession, pMechanism, hUnwrappingKey, pWrappedKey, ulWrappedKeyLen, pTemplate, ulAttributeCount,
                   phKey))
VEXA_PKCS11_ENTRY(C_DeriveKey,
                  (CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hBaseKey,
                   CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR phKey),
                  (hSession, pMechanism, hBaseKey, pTemplate, ulAttributeCount, phKey))
