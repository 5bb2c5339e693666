// The library's own exported calls (vexa.h): thin forwards to the context,
// with nothing escaping them.
#include "CContext.h"
#include "EntryGuard.h"
#include "Extensions.h"
#include "vexa.h"

using vexa::pkcs11::CContext;
namespace ext = vexa::pkcs11::extensions;

namespace {

template <typename Call>
uint32_t guardedU32(Call&& call) noexcept
{
    return static_cast<uint32_t>(vexa::pkcs11::guardedCall([&]() -> CK_RV { return call(CContext::instance()); }));
}

}  // namespace

extern "C" {

VEXA_EXPORT uint32_t u32GetTokenConfig(CK_SLOT_ID slotID, TokenConfigRecord* pRecord)
{
    return guardedU32([&](CContext& c) { return ext::getTokenConfig(c, slotID, pRecord); });
}

VEXA_EXPORT uint32_t u32SetTokenValue(CK_SLOT_ID slotID, uint32_t value, uint8_t selector)
{
    return guardedU32([&](CContext& c) { return ext::setTokenValue(c, slotID, value, selector); });
}

VEXA_EXPORT uint32_t u32SetTokenByte(CK_SLOT_ID slotID, uint8_t value)
{
    return guardedU32([&](CContext& c) { return ext::setTokenByte(c, slotID, value); });
}

VEXA_EXPORT uint32_t u32SetTokenBytePair(CK_SLOT_ID slotID, uint8_t first, uint8_t second)
{
    return guardedU32([&](CContext& c) { return ext::setTokenBytePair(c, slotID, first, second); });
}

VEXA_EXPORT uint32_t u32SetTokenConfigWord(CK_SLOT_ID slotID, uint16_t value)
{
    return guardedU32([&](CContext& c) { return ext::setTokenConfigWord(c, slotID, value); });
}

VEXA_EXPORT uint32_t u32TokenCommand(CK_SLOT_ID slotID)
{
    return guardedU32([&](CContext& c) { return ext::tokenCommand(c, slotID); });
}

VEXA_EXPORT uint32_t u32WriteTokenData(CK_SLOT_ID slotID, const uint8_t* pData, CK_ULONG ulDataLen)
{
    return guardedU32([&](CContext& c) { return ext::writeTokenData(c, slotID, pData, ulDataLen); });
}

VEXA_EXPORT uint32_t u32ReadTokenData(CK_SLOT_ID slotID, uint8_t* pBuffer, CK_ULONG_PTR pulLength)
{
    return guardedU32([&](CContext& c) { return ext::readTokenData(c, slotID, pBuffer, pulLength); });
}

VEXA_EXPORT bool bReadLogEntries(CK_SLOT_ID slotID, uint8_t* pBuffer, CK_ULONG_PTR pulLength)
{
    return vexa::pkcs11::guardedBool(
        [&] { return ext::readLogEntries(CContext::instance(), slotID, pBuffer, pulLength); });
}

VEXA_EXPORT bool bSetDateTime(CK_SLOT_ID slotID)
{
    return vexa::pkcs11::guardedBool([&] { return CContext::instance().bSetDateTime(slotID); });
}

VEXA_EXPORT uint32_t u32HasBitcoinKey(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phKey)
{
    return guardedU32([&](CContext& c) { return ext::hasBitcoinKey(c, hSession, phKey); });
}

VEXA_EXPORT uint32_t u32ImportBitcoinKey(CK_SESSION_HANDLE hSession, const uint8_t* pKey, CK_ULONG ulKeyLen)
{
    return guardedU32([&](CContext& c) { return ext::importBitcoinKey(c, hSession, pKey, ulKeyLen); });
}

VEXA_EXPORT uint32_t u32GetBitcoinPub(CK_SESSION_HANDLE hSession, const uint32_t* pPath, CK_ULONG ulPathLen,
                                      uint8_t* pPublicKey, CK_ULONG_PTR pulPublicKeyLen)
{
    return guardedU32(
        [&](CContext& c) { return ext::getBitcoinPub(c, hSession, pPath, ulPathLen, pPublicKey, pulPublicKeyLen); });
}

VEXA_EXPORT uint32_t u32SignBitcoinHash(CK_SESSION_HANDLE hSession, const uint8_t* pHash, CK_ULONG ulHashLen,
                                        const uint32_t* pPath, CK_ULONG ulPathLen, uint8_t* pSignature,
                                        CK_ULONG_PTR pulSignatureLen)
{
    return guardedU32([&](CContext& c) {
        return ext::signBitcoinHash(c, hSession, pHash, ulHashLen, pPath, ulPathLen, pSignature, pulSignatureLen);
    });
}

}  // extern "C"
