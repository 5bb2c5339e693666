#include <algorithm>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>

#include "CContext.h"
#include "CHIDTransport.h"
#include "Exception.h"
#include "FieldCallbacks.h"
#include "RpcFunctionIds.h"

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

// Fills the start of a member with the bytes received; the rest stays as the
// caller had it.
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
    auto* hid = dynamic_cast<CHIDTransport*>(&transport);
    const std::string product = hid != nullptr ? hid->getProduct() : std::string();
    if (product == "Vexa") {
        return "Vexa USB";
    }
    if (product == "Varkon") {
        return "Varkon USB";
    }
    return "Unknown";
}

// The slot's token, reached and described; an unreachable token is a slot
// without a token (flags 0), not a failure. The transport is opened under
// the exchange lock, which keeps it from being opened while another thread
// exchanges on it.
CK_RV describeSlot(CContext& context, CK_SLOT_ID slotID, CK_SLOT_INFO& info)
{
    CTransport* transport = context.slotTransport(slotID);
    if (transport == nullptr) {
        return CKR_SLOT_ID_INVALID;
    }
    info.flags = 0;
    std::string description;
    try {
        ExchangeGuard guard(context.exchangeLock());
        if (!guard.held()) {
            throw IOException("Failed to obtain mutex lock.");
        }
        if (!transport->isOpen()) {
            transport->open();
        }
        description = slotDescription(*transport);
        guard.release();
    } catch (const std::exception& error) {
        context.logText(kLogError, error.what());
        return CKR_OK;
    }
    setPadded(info.slotDescription, description);
    setPadded(info.manufacturerID, "USB");
    info.flags = CKF_TOKEN_PRESENT;
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

void copyTokenInfo(const RpcTokenInfo& received, CK_TOKEN_INFO& info)
{
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

CK_RV CContext::C_GetInfo(CK_INFO_PTR pInfo)
{
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (pInfo == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    *pInfo = CK_INFO{};
    pInfo->cryptokiVersion = {2, 40};
    setPadded(pInfo->manufacturerID, "corvelWorks");
    pInfo->flags = 0;
    setPadded(pInfo->libraryDescription, "corvelWorks PKCS11 Library");
    pInfo->libraryVersion = {2, 13};
    return CKR_OK;
}

// Every slot is listed, with or without a token: tokenPresent is ignored.
CK_RV CContext::C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount)
{
    (void)tokenPresent;
    logText(kLogTrace, "C_GetSlotList");
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (pulCount == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    std::lock_guard<std::mutex> lock(libraryMutex());
    const CK_ULONG available = *pulCount;
    *pulCount = m_slots.size();
    if (pSlotList == nullptr) {
        return CKR_OK;
    }
    if (available < m_slots.size()) {
        return CKR_BUFFER_TOO_SMALL;
    }
    for (const auto& slot : m_slots) {
        *pSlotList++ = static_cast<CK_SLOT_ID>(slot.first);
    }
    return CKR_OK;
}

CK_RV CContext::C_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo)
{
    logText(kLogTrace, "C_GetSlotInfo");
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (pInfo == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    return describeSlot(*this, slotID, *pInfo);
}

CK_RV CContext::C_GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo)
{
    logText(kLogTrace, "C_GetTokenInfo");
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (pInfo == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    if (!hasSlot(slotID)) {
        return CKR_SLOT_ID_INVALID;
    }
    pInfo->flags = 0;
    const CK_RV present = requireToken(*this, slotID, CKR_TOKEN_NOT_PRESENT);
    if (present != CKR_OK) {
        return present;
    }
    setCurrentSlot(slotID);
    RpcRequest request = RpcRequest_init_zero;
    request.function = kFnGetTokenInfo;
    RpcResponse response = RpcResponse_init_zero;
    callToken(request, response, true);
    if (response.has_tokenInfo) {
        copyTokenInfo(response.tokenInfo, *pInfo);
    }
    return response.rv;
}

CK_RV CContext::C_InitToken(CK_SLOT_ID slotID, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen, CK_UTF8CHAR_PTR pLabel)
{
    logText(kLogTrace, "C_InitToken");
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (!hasSlot(slotID)) {
        return CKR_SLOT_ID_INVALID;
    }
    if (pPin == nullptr || pLabel == nullptr || ulPinLen == 0) {
        return CKR_ARGUMENTS_BAD;
    }
    ByteSpan pin{nullptr, 0};
    if (const CK_RV fits = inputSpan(pPin, ulPinLen, pin); fits != CKR_OK) {
        return fits;
    }
    const CK_RV present = requireToken(*this, slotID, CKR_ARGUMENTS_BAD);
    if (present != CKR_OK) {
        return present;
    }
    setCurrentSlot(slotID);
    RpcRequest request = RpcRequest_init_zero;
    request.function = kFnInitToken;
    ByteSpan label{pLabel, kTokenLabelSize};
    setBytes(request.data, pin);
    setBytes(request.data2, label);
    RpcResponse response = RpcResponse_init_zero;
    callToken(request, response, true);
    return response.rv;
}

}  // namespace vexa::pkcs11
