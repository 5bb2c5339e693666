#pragma once
#include <p11-kit/pkcs11.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "CLogTarget.h"
#include "CTransport.h"
#include "ExchangeLock.h"
#include "LibrarySettings.h"
#include "TransportKinds.h"
#include "vexa.pb.h"

namespace vexa::pkcs11 {

using SlotId = int32_t;

// Size of the buffer that holds an encoded request and then its reply.
constexpr size_t kExchangeBufferSize = 2048;

// A slot is the transport that reaches its token. Shared: a call that found
// it keeps it alive even when C_Finalize empties the table meanwhile.
using SlotPtr = std::shared_ptr<corvel::CTransport>;

// All state of the library in one process: configuration, log, slots,
// sessions, the exchange lock and the call path to the tokens.
class CContext : public CLogTarget {
public:
    // The library lock: guards the creation of the instance, the session
    // table, and the body of every function that the entry table marks as
    // locked. Not recursive.
    static std::mutex& libraryMutex();
    // The process's one context, created (and configured) on first use.
    static CContext& instance();

    // Reads vexaconfig.json from the looked-up configuration directory.
    CContext();
    // Reads vexaconfig.json from configDir ("" or with a trailing "/").
    explicit CContext(const std::string& configDir);
    // The same, but its tokens are reached through kind whatever the file
    // says: how tests and fuzzers put tokens of their own behind the library.
    CContext(const std::string& configDir, TransportKind kind);
    ~CContext() override;

    LibrarySettings& settings() { return m_settings; }
    void setTransportKind(TransportKind kind) { m_transportKind = std::move(kind); }
    const TransportKind& transportKind() const { return m_transportKind; }
    CExchangeLock& exchangeLock() { return m_exchangeLock; }
    bool isInitialized() const { return m_initialized; }

    // Slots. The table changes only as a whole (C_Initialize, C_Finalize);
    // these read it under its own mutex, so that any thread may ask.
    SlotPtr findSlot(CK_SLOT_ID slotId) const;
    std::vector<SlotId> slotIds() const;

    // Sessions (library lock held): handle to the slot it was opened on.
    void addSession(CK_SESSION_HANDLE handle, SlotId slot);
    bool removeSession(CK_SESSION_HANDLE handle);
    // Forgets every session opened on slot.
    void removeSessions(SlotId slot);
    // CKR_SESSION_HANDLE_INVALID for an unknown handle; otherwise the slot the
    // session was opened on, with the token's session number put into request.
    CK_RV bindSession(CK_SESSION_HANDLE handle, RpcRequest& request, SlotId& slot) const;
    size_t sessionCount() const { return m_sessions.size(); }

    // One exchange with the token of slot. Every failure becomes the
    // response's rv and a log line; clearResponse false keeps callbacks and
    // presets that the caller installed in response. replyTimeout, when
    // given, is how long the transport waits for this one reply.
    void callToken(CK_SLOT_ID slot, RpcRequest& request, RpcResponse& response, bool clearResponse,
                   std::optional<uint32_t> replyTimeout = std::nullopt);

    // PKCS#11 functions, one family per file, each in one of the shapes of
    // CallShapes.h.

    // Initialization.cpp, CloseAllSessions.cpp
    CK_RV C_Initialize(CK_VOID_PTR pInitArgs);
    CK_RV C_Finalize(CK_VOID_PTR pReserved);
    CK_RV C_CloseAllSessions(CK_SLOT_ID slotID);
    bool bSetDateTime(CK_SLOT_ID slotID);

    // Slots and tokens
    CK_RV C_GetInfo(CK_INFO_PTR pInfo);
    CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount);
    CK_RV C_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo);
    CK_RV C_GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo);
    CK_RV C_InitToken(CK_SLOT_ID slotID, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen, CK_UTF8CHAR_PTR pLabel);

    // Sessions, login, PINs and random numbers
    CK_RV C_OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR pApplication, CK_NOTIFY Notify,
                        CK_SESSION_HANDLE_PTR phSession);
    CK_RV C_CloseSession(CK_SESSION_HANDLE hSession);
    CK_RV C_GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo);
    CK_RV C_Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen);
    CK_RV C_Logout(CK_SESSION_HANDLE hSession);
    CK_RV C_InitPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen);
    CK_RV C_SetPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen, CK_UTF8CHAR_PTR pNewPin,
                   CK_ULONG ulNewLen);
    CK_RV C_SeedRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSeed, CK_ULONG ulSeedLen);
    CK_RV C_GenerateRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pRandomData, CK_ULONG ulRandomLen);

    // Objects and attributes
    CK_RV C_CreateObject(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount,
                         CK_OBJECT_HANDLE_PTR phObject);
    CK_RV C_CopyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                       CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phNewObject);
    CK_RV C_DestroyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject);
    CK_RV C_GetObjectSize(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ULONG_PTR pulSize);
    CK_RV C_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                              CK_ULONG ulCount);
    CK_RV C_SetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                              CK_ULONG ulCount);
    CK_RV C_FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount);
    CK_RV C_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject, CK_ULONG ulMaxObjectCount,
                        CK_ULONG_PTR pulObjectCount);
    CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE hSession);

    // Mechanisms
    CK_RV C_GetMechanismList(CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList, CK_ULONG_PTR pulCount);
    CK_RV C_GetMechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR pInfo);

    // Encryption and decryption
    CK_RV C_EncryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey);
    CK_RV C_Encrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pEncryptedData,
                    CK_ULONG_PTR pulEncryptedDataLen);
    CK_RV C_EncryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen, CK_BYTE_PTR pEncryptedPart,
                          CK_ULONG_PTR pulEncryptedPartLen);
    CK_RV C_EncryptFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pLastEncryptedPart,
                         CK_ULONG_PTR pulLastEncryptedPartLen);
    CK_RV C_DecryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey);
    CK_RV C_Decrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedData, CK_ULONG ulEncryptedDataLen,
                    CK_BYTE_PTR pData, CK_ULONG_PTR pulDataLen);
    CK_RV C_DecryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedPart, CK_ULONG ulEncryptedPartLen,
                          CK_BYTE_PTR pPart, CK_ULONG_PTR pulPartLen);
    CK_RV C_DecryptFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pLastPart, CK_ULONG_PTR pulLastPartLen);

    // Digests
    CK_RV C_DigestInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism);
    CK_RV C_Digest(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pDigest,
                   CK_ULONG_PTR pulDigestLen);
    CK_RV C_DigestUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen);
    CK_RV C_DigestKey(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hKey);
    CK_RV C_DigestFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pDigest, CK_ULONG_PTR pulDigestLen);

    // Signatures and verification
    CK_RV C_SignInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey);
    CK_RV C_Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
                 CK_ULONG_PTR pulSignatureLen);
    CK_RV C_SignUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen);
    CK_RV C_SignFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen);
    CK_RV C_VerifyInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey);
    CK_RV C_Verify(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
                   CK_ULONG ulSignatureLen);
    CK_RV C_VerifyUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen);
    CK_RV C_VerifyFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen);

    // Keys: generation, wrapping, unwrapping, derivation
    CK_RV C_GenerateKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_ATTRIBUTE_PTR pTemplate,
                        CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phKey);
    CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                            CK_ATTRIBUTE_PTR pPublicKeyTemplate, CK_ULONG ulPublicKeyAttributeCount,
                            CK_ATTRIBUTE_PTR pPrivateKeyTemplate, CK_ULONG ulPrivateKeyAttributeCount,
                            CK_OBJECT_HANDLE_PTR phPublicKey, CK_OBJECT_HANDLE_PTR phPrivateKey);
    CK_RV C_WrapKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hWrappingKey,
                    CK_OBJECT_HANDLE hKey, CK_BYTE_PTR pWrappedKey, CK_ULONG_PTR pulWrappedKeyLen);
    CK_RV C_UnwrapKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hUnwrappingKey,
                      CK_BYTE_PTR pWrappedKey, CK_ULONG ulWrappedKeyLen, CK_ATTRIBUTE_PTR pTemplate,
                      CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR phKey);
    CK_RV C_DeriveKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hBaseKey,
                      CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR phKey);

private:
    using SlotTable = std::map<SlotId, SlotPtr>;

    CK_RV chooseLocking(CK_VOID_PTR pInitArgs);
    SlotTable buildSlots(size_t& tokenCount);
    void replaceSlots(SlotTable slots);
    void setTokenClocks(size_t tokenCount);
    void closeOwnSessions();
    // Writes length bytes of buffer to the slot's transport and reads the
    // reply into buffer; the reply's length, 0 when there is none.
    size_t exchange(corvel::CTransport& transport, uint8_t* buffer, size_t capacity, size_t length,
                    std::optional<uint32_t> replyTimeout);
    size_t exchange_inlock(corvel::CTransport& transport, uint8_t* buffer, size_t capacity, size_t length);
    void logExchangeFailure(const char* what);

    LibrarySettings m_settings;
    TransportKind m_transportKind;
    std::atomic<bool> m_initialized{false};
    CExchangeLock m_exchangeLock;
    mutable std::mutex m_slotsMutex;  // guards m_slots, the table itself, not the slots in it
    SlotTable m_slots;
    std::map<CK_SESSION_HANDLE, SlotId> m_sessions;  // guarded by the library lock
};

}  // namespace vexa::pkcs11
