/*
 * vexa.h: the calls that libvexa-pkcs11.so offers besides the PKCS#11
 * function list, for C and C++ applications.
 *
 * The u32 calls return a 32-bit result: a CK_RV of the token or the library,
 * or one of the CKR_VEXA_ codes below. The b calls return true on success.
 * Every call works only between C_Initialize and C_Finalize. A slot call
 * names a slot of C_GetSlotList; a session call names a session of
 * C_OpenSession.
 */
#ifndef VEXA_H
#define VEXA_H

#include <p11-kit/pkcs11.h>
#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* u32HasBitcoinKey: the token holds no Bitcoin key. */
#define CKR_VEXA_NO_BITCOIN_KEY (CKR_VENDOR_DEFINED + 1UL)
/* u32ImportBitcoinKey: the token already holds a Bitcoin key. */
#define CKR_VEXA_BITCOIN_KEY_EXISTS (CKR_VENDOR_DEFINED + 2UL)
/* Chunked transfers: the token expects, or has, more data
 * (CKR_OPERATION_ACTIVE). u32WriteTokenData returns it when the token wants
 * more than was sent; u32ReadTokenData when the buffer was too short for the
 * rest. */
#define CKR_VEXA_MORE_DATA 0x90UL

#define VEXA_TOKEN_CONFIG_VERSION 1
#define VEXA_TOKEN_CONFIG_SIZE 8

/* The token's configuration values, as u32GetTokenConfig fills them. The
 * caller sets version and size; the meaning of the values is the token's. */
typedef struct TokenConfigRecord {
    uint8_t version; /* VEXA_TOKEN_CONFIG_VERSION */
    uint8_t size;    /* VEXA_TOKEN_CONFIG_SIZE */
    uint8_t config1;
    uint8_t config2;
    uint8_t config3;
    uint8_t reserved; /* never written */
    uint16_t config4; /* host byte order */
} TokenConfigRecord;

/* Token configuration. */
uint32_t u32GetTokenConfig(CK_SLOT_ID slotID, TokenConfigRecord* pRecord);
uint32_t u32SetTokenValue(CK_SLOT_ID slotID, uint32_t value, uint8_t selector);
uint32_t u32SetTokenByte(CK_SLOT_ID slotID, uint8_t value);
uint32_t u32SetTokenBytePair(CK_SLOT_ID slotID, uint8_t first, uint8_t second);
uint32_t u32SetTokenConfigWord(CK_SLOT_ID slotID, uint16_t value);
uint32_t u32TokenCommand(CK_SLOT_ID slotID);

/* The token's data block. The write sends ulDataLen bytes in chunks and
 * returns the token's answer to the last chunk sent. The read fills at most
 * *pulLength bytes and stores the number of bytes placed in pBuffer, also
 * when it fails part of the way. */
uint32_t u32WriteTokenData(CK_SLOT_ID slotID, const uint8_t* pData, CK_ULONG ulDataLen);
uint32_t u32ReadTokenData(CK_SLOT_ID slotID, uint8_t* pBuffer, CK_ULONG_PTR pulLength);

/* The token's event log. *pulLength is the buffer's capacity on the way in
 * and the log's length on the way out; with a null buffer and a length of 0
 * it asks for the length (the result is then false and *pulLength the size
 * needed). */
bool bReadLogEntries(CK_SLOT_ID slotID, uint8_t* pBuffer, CK_ULONG_PTR pulLength);

/* Sets the token's clock to the current time; true when the token accepted it. */
bool bSetDateTime(CK_SLOT_ID slotID);

/* The Bitcoin key service. A derivation path is ulPathLen 32-bit words.
 * u32HasBitcoinKey stores the key's object handle in *phKey when phKey is
 * not null. The output calls store the length of what they wrote in
 * *pulPublicKeyLen or *pulSignatureLen, and leave it alone on failure. */
uint32_t u32HasBitcoinKey(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phKey);
uint32_t u32ImportBitcoinKey(CK_SESSION_HANDLE hSession, const uint8_t* pKey, CK_ULONG ulKeyLen);
uint32_t u32GetBitcoinPub(CK_SESSION_HANDLE hSession, const uint32_t* pPath, CK_ULONG ulPathLen, uint8_t* pPublicKey,
                          CK_ULONG_PTR pulPublicKeyLen);
uint32_t u32SignBitcoinHash(CK_SESSION_HANDLE hSession, const uint8_t* pHash, CK_ULONG ulHashLen, const uint32_t* pPath,
                            CK_ULONG ulPathLen, uint8_t* pSignature, CK_ULONG_PTR pulSignatureLen);

#ifdef __cplusplus
}
#endif

#endif
