#pragma once
// The library's own calls (declared for applications in vexa.h), on a given
// context so that tests run them on a context of their own.
#include <p11-kit/pkcs11.h>

#include <cstdint>

#include "CallShapes.h"
#include "FieldCallbacks.h"
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

// Shared by the files above.

// Announces the caller's buffer as outputLength and reads the reply's output
// into it.
inline void expectOutput(TokenCall& call, OutputBuffer& output)
{
    call.request.has_outputLength = true;
    call.request.outputLength = output.capacity;
    setOutput(call.response.output, output);
}

}  // namespace vexa::pkcs11::extensions
