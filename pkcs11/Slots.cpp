#include <algorithm>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "CallShapes.h"
#include "FieldCallbacks.h"

namespace vexa::pkcs11 {

using namespace corvel;

namespace {

constexpr size_t kTokenLabelSize = 32;

// Copies text into a fixed-size, space-padded PKCS#11 string field.
template <size_t N>
void setPadded(CK_UTF8CHAR (&field)[N], const std::string& text)
{
    std::memset(field, ' ', N);
    std::memcpy(field, text.data(), std::min(N, text.size()));
}

// Fills the start of a member with the bytes received.
template <size_t N, typename Received>
void copyReceived(CK_UTF8CHAR (&field)[N], const Received& received)
{
    std::memcpy(field, received.bytes, std::min<size_t>(N, received.size));
}

uint8_t versionByte(uint32_t value) { return static_cast<uint8_t>(value & 0xFFu); }

std::string slotDescription(CTransport& transport)
{
    // Through the daemon the library cannot tell which product serves it.
    if (std::strcmp(transport.getName(), "HID") != 0) {
        return "Vexa";
    }
    const std::string product = transport.getProduct();
    if (product == "Vexa") {
        return "Vexa USB";
    }
    if (product == "Varkon") {
        return "Varkon USB";
    }
    return "Unknown";
}

// Opens the slot's transport if needed and describes it; the description
// and false when the token cannot be reached, which is logged. The transport
// is opened under the exchange lock, which keeps it from being opened while
// another thread exchanges on it.
std::pair<std::string, bool> reachSlot(CContext& context, CTransport& transport)
{
    try {
        ExchangeGuard guard(context.exchangeLock());
        if (!guard.held()) {
            context.logText(kLogError, "Failed to obtain mutex lock.");
            return {"", false};
        }
        bool reached = true;
        try {
            if (!transport.isOpen()) {
                transport.open();
            }
        } catch (const std::exception& error) {
            context.logText(kLogError, error.what());
            reached = false;
        }
        std::string description = slotDescription(transport);
        guard.release();
        return {description, reached};
    } catch (const std::exception& error) {
        context.logText(kLogError, error.what());
        return {"", false};
    }
}

// The slot's token, reached and described; an unreachable token is a slot
// without a token (flags 0), not a failure. Every member is written either
// way: callers print them.
CK_RV describeSlot(CContext& context, CK_SLOT_ID slotID, CK_SLOT_INFO& info)
{
    const SlotPtr slot = context.findSlot(slotID);
    if (slot == nullptr) {
        return CKR_SLOT_ID_INVALID;
    }
    const auto [description, reached] = reachSlot(context, *slot);
    setPadded(info.slotDescription, description);
    setPadded(info.manufacturerID, "USB");
    info.flags = reached ? CKF_TOKEN_PRESENT : 0;
    info.hardwareVersion = {2, 0};
    info.firmwareVersion = {0, 0};
    return CKR_OK;
}

// C_GetTokenInfo and C_InitToken need a token in the slot; what the caller
// hears when there is none differs.
CK_RV requireToken(CContext& context, CK_SLOT_ID slotID, CK_RV whenAbsent)
{
    CK_SLOT_INFO slot{};
    const CK_RV rv = describeSlot(context, slotID, slot);
    if (rv != CKR_OK) {
        return rv;
    }
    return (slot.flags & CKF_TOKEN_PRESENT) != 0 ? CKR_OK : whenAbsent;
}

CK_RV slotMustExist(CContext& context, CK_SLOT_ID slotID)
{
    return context.findSlot(slotID) != nullptr ? CKR_OK : CKR_SLOT_ID_INVALID;
}

// Every member is written: the text members are padded with spaces after
// the bytes received, so none shows what the caller's memory held.
void copyTokenInfo(const RpcTokenInfo& received, CK_TOKEN_INFO& info)
{
    info = CK_TOKEN_INFO{};
    setPadded(info.label, "");
    setPadded(info.manufacturerID, "");
    setPadded(info.model, "");
    setPadded(info.serialNumber, "");
    setPadded(info.utcTime, "");
    copyReceived(info.label, received.label);
    copyReceived(info.manufacturerID, received.manufacturerID);
    copyReceived(info.model, received.model);
    copyReceived(info.serialNumber, received.serialNumber);
    copyReceived(info.utcTime, received.utcTime);
    info.flags = received.flags;
    info.ulMaxSessionCount = received.maxSessionCount;
    info.ulSessionCount = received.sessionCount;
    info.ulMaxRwSessionCount = received.maxRwSessionCount;
    info.ulRwSessionCount = received.rwSessionCount;
    info.ulMaxPinLen = received.maxPinLen;
    info.ulMinPinLen = received.minPinLen;
    info.ulTotalPublicMemory = received.totalPublicMemory;
    info.ulFreePublicMemory = received.freePublicMemory;
    info.ulTotalPrivateMemory = received.totalPrivateMemory;
    info.ulFreePrivateMemory = received.freePrivateMemory;
    info.hardwareVersion = {versionByte(received.hardwareVersionMajor), versionByte(received.hardwareVersionMinor)};
    info.firmwareVersion = {versionByte(received.firmwareVersionMajor), versionByte(received.firmwareVersionMinor)};
}

}  // namespace

// Answered by the library alone. Writes no trace line.
CK_RV CContext::C_GetInfo(CK_INFO_PTR pInfo)
{
    return unlockedCall(
        *this, nullptr, [&] { return pInfo == nullptr ? CKR_ARGUMENTS_BAD : CKR_OK; },
        [&] {
            *pInfo = CK_INFO{};
            pInfo->cryptokiVersion = {2, 40};
            setPadded(pInfo->manufacturerID, "corvelWorks");
            pInfo->flags = 0;
            setPadded(pInfo->libraryDescription, "corvelWorks PKCS11 Library");
            pInfo->libraryVersion = {2, 13};
            return CKR_OK;
        });
}

// Every slot is listed, with or without a token: tokenPresent is ignored.
CK_RV CContext::C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount)
{
    (void)tokenPresent;
    return lockedCall(
        *this, "C_GetSlotList", [&] { return pulCount == nullptr ? CKR_ARGUMENTS_BAD : CKR_OK; },
        [&] {
            const std::vector<SlotId> ids = slotIds();
            const CK_ULONG available = *pulCount;
            *pulCount = ids.size();
            if (pSlotList == nullptr) {
                return CKR_OK;
            }
            if (available < ids.size()) {
                return CKR_BUFFER_TOO_SMALL;
            }
            std::copy(ids.begin(), ids.end(), pSlotList);
            return CKR_OK;
        });
}

CK_RV CContext::C_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo)
{
    return unlockedCall(
        *this, "C_GetSlotInfo", [&] { return pInfo == nullptr ? CKR_ARGUMENTS_BAD : CKR_OK; },
        [&] { return describeSlot(*this, slotID, *pInfo); });
}

CK_RV CContext::C_GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo)
{
    const auto checks = [&] { return pInfo == nullptr ? CKR_ARGUMENTS_BAD : slotMustExist(*this, slotID); };
    return unlockedCall(*this, "C_GetTokenInfo", checks, [&] {
        pInfo->flags = 0;
        const CK_RV present = requireToken(*this, slotID, CKR_TOKEN_NOT_PRESENT);
        if (present != CKR_OK) {
            return present;
        }
        return exchangeOnSlot(*this, slotID, fn::GetTokenInfo, kNoFields, [&](TokenCall& call) {
            // A success without the record still answers every member (blank).
            if (call.response.has_tokenInfo || call.response.rv == CKR_OK) {
                copyTokenInfo(call.response.tokenInfo, *pInfo);
            }
            return call.response.rv;
        });
    });
}

CK_RV CContext::C_InitToken(CK_SLOT_ID slotID, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen, CK_UTF8CHAR_PTR pLabel)
{
    ByteSpan pin{nullptr, 0};
    const auto checks = [&] {
        if (const CK_RV exists = slotMustExist(*this, slotID); exists != CKR_OK) {
            return exists;
        }
        if (pPin == nullptr || pLabel == nullptr || ulPinLen == 0) {
            return CKR_ARGUMENTS_BAD;
        }
        return inputSpan(pPin, ulPinLen, pin);
    };
    return unlockedCall(*this, "C_InitToken", checks, [&] {
        const CK_RV present = requireToken(*this, slotID, CKR_ARGUMENTS_BAD);
        if (present != CKR_OK) {
            return present;
        }
        ByteSpan label{pLabel, kTokenLabelSize};
        return exchangeOnSlot(*this, slotID, fn::InitToken, [&](TokenCall& call) {
            setBytes(call.request.data, pin);
            setBytes(call.request.data2, label);
        });
    });
}

}  // namespace vexa::pkcs11
