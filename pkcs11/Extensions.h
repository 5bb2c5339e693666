#pragma once
// The library's own calls (declared for applications in vexa.h), on a given
// context so that tests run them on a context of their own. None holds the
// library lock across an exchange: the current slot is per thread, so each
// exchange still reaches its own slot.
#include <p11-kit/pkcs11.h>

#include <cstdint>

#include "CContext.h"
#include "vexa.h"

namespace vexa::pkcs11::extensions {

// ExtensionsConfig.cpp
uint32_t getTokenConfig(CContext& context, CK_SLOT_ID slotID, TokenConfigRecord* record);
uint32_t setTokenValue(CContext& context, CK_SLOT_ID slotID, uint32_t value, uint8_t selector);
uint32_t setTokenByte(CContext& context, CK_SLOT_ID slotID, uint8_t value);
uint32_t setTokenBytePair(CContext& context, CK_SLOT_ID slotID, uint8_t first, uint8_t second);
uint32_t setTokenConfigWord(CContext& context, CK_SLOT_ID slotID, uint16_t value);
uint32_t tokenCommand(CContext& context, CK_SLOT_ID slotID);

// ExtensionsData.cpp
uint32_t writeTokenData(CContext& context, CK_SLOT_ID slotID, const uint8_t* data, CK_ULONG length);
uint32_t readTokenData(CContext& context, CK_SLOT_ID slotID, uint8_t* buffer, CK_ULONG* length);

// ExtensionsLog.cpp
bool readLogEntries(CContext& context, CK_SLOT_ID slotID, uint8_t* buffer, CK_ULONG* length);

// ExtensionsBitcoin.cpp
uint32_t hasBitcoinKey(CContext& context, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE* key);
uint32_t importBitcoinKey(CContext& context, CK_SESSION_HANDLE session, const uint8_t* key, CK_ULONG length);
uint32_t getBitcoinPub(CContext& context, CK_SESSION_HANDLE session, const uint32_t* path, CK_ULONG count,
                       uint8_t* output, CK_ULONG* length);
uint32_t signBitcoinHash(CContext& context, CK_SESSION_HANDLE session, const uint8_t* hash, CK_ULONG hashLength,
                         const uint32_t* path, CK_ULONG count, uint8_t* signature, CK_ULONG* length);

// Shared by the files above (ExtensionsSupport.cpp).
// What one exchange brought whose output goes to the caller's buffer.
struct OutputReply {
    CK_RV rv = CKR_OK;
    uint32_t received = 0;   // bytes placed in the buffer
    bool hasNeeded = false;  // the token said how many bytes it needs
    uint32_t needed = 0;
};
// Sends request, its slot or session already chosen, with outputLength =
// capacity, and reads the output into buffer.
OutputReply callWithOutput(CContext& context, RpcRequest& request, uint8_t* buffer, CK_ULONG capacity);
// Binds the session under the library lock, which guards the session table;
// the lock is released before the caller's exchange.
CK_RV bindSessionLocked(CContext& context, CK_SESSION_HANDLE session, RpcRequest& request);

}  // namespace vexa::pkcs11::extensions
