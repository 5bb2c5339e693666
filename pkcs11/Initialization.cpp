#include <ctime>
#include <exception>
#include <map>
#include <set>

#include "CContext.h"
#include "CallShapes.h"
#include "wire/Functions.h"

namespace vexa::pkcs11 {

using namespace corvel;

namespace {

bool hasAnyCallback(const CK_C_INITIALIZE_ARGS& args)
{
    return args.CreateMutex != nullptr || args.DestroyMutex != nullptr || args.LockMutex != nullptr ||
           args.UnlockMutex != nullptr;
}

bool hasAllCallbacks(const CK_C_INITIALIZE_ARGS& args)
{
    return args.CreateMutex != nullptr && args.DestroyMutex != nullptr && args.LockMutex != nullptr &&
           args.UnlockMutex != nullptr;
}

}  // namespace

CK_RV CContext::chooseLocking(CK_VOID_PTR pInitArgs)
{
    m_exchangeLock.clearLocking();
    if (pInitArgs == nullptr) {
        logText(kLogTrace, "C_Initialize");
        return CKR_OK;
    }
    logText(kLogDebug, "C_Initialize with non-null args");
    const auto& args = *static_cast<const CK_C_INITIALIZE_ARGS*>(pInitArgs);
    if (args.pReserved != nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    if ((args.flags & CKF_OS_LOCKING_OK) != 0) {
        logText(kLogDebug, "C_Initialize with locking requested");
        m_exchangeLock.useOsLocking();
        return CKR_OK;
    }
    if (!hasAnyCallback(args)) {
        return CKR_OK;
    }
    logText(kLogDebug, "C_Initialize with locking functions requested");
    // PKCS#11: some but not all callbacks is a bad argument, whichever is missing.
    if (!hasAllCallbacks(args)) {
        return CKR_ARGUMENTS_BAD;
    }
    return m_exchangeLock.useApplicationLocking(args);
}

CContext::SlotTable CContext::buildSlots(size_t& tokenCount)
{
    const std::vector<SerialId> serials = m_transportKind.lister(*this);
    tokenCount = serials.size();
    SlotTable slots;
    for (size_t i = 0; i < serials.size(); ++i) {
        std::unique_ptr<CTransport> transport = m_transportKind.factory(serials[i], *this);
        if (transport == nullptr) {
            continue;
        }
        transport->setTimeout(m_settings.timeout);
        slots.emplace(static_cast<SlotId>(i), SlotPtr(std::move(transport)));
    }
    return slots;
}

CK_RV CContext::C_Initialize(CK_VOID_PTR pInitArgs)
{
    if (m_initialized) {
        return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    }
    const CK_RV locking = chooseLocking(pInitArgs);
    if (locking != CKR_OK) {
        return locking;
    }
    size_t tokenCount = 0;
    SlotTable slots;
    // A refused lock or a failed listing leaves the library uninitialised and
    // says so: a CKR_OK that every later call contradicts would hide it.
    try {
        // No other process that shares the lock file talks to a token while
        // the tokens are listed and their transports made.
        ExchangeGuard guard(m_exchangeLock);
        if (!guard.held()) {
            m_exchangeLock.destroyApplicationMutex();
            return CKR_CANT_LOCK;
        }
        slots = buildSlots(tokenCount);
        guard.release();
    } catch (const std::exception& error) {
        logText(kLogError, error.what());
        m_exchangeLock.destroyApplicationMutex();
        return CKR_FUNCTION_FAILED;
    } catch (...) {
        m_exchangeLock.destroyApplicationMutex();
        return CKR_FUNCTION_FAILED;
    }
    {
        std::lock_guard<std::mutex> lock(libraryMutex());
        replaceSlots(std::move(slots));
        m_initialized = true;
    }
    setTokenClocks(tokenCount);
    return CKR_OK;
}

void CContext::setTokenClocks(size_t tokenCount)
{
    for (size_t i = 0; i < tokenCount; ++i) {
        try {
            (void)bSetDateTime(i);
        } catch (const std::exception&) {
            logText(kLogWarn, "Failed to set time");
        }
    }
}

// Takes no library lock, like the other calls of the library's own.
bool CContext::bSetDateTime(CK_SLOT_ID slotID)
{
    const CK_RV rv = unlockedCall(*this, "bSetDateTime", kNoChecks, [&] {
        return exchangeOnSlot(*this, slotID, fn::SetDateTime, [](TokenCall& call) {
            call.request.has_handle = true;
            call.request.handle = static_cast<uint32_t>(static_cast<uint64_t>(std::time(nullptr)) & 0xFFFFFFFFu);
        });
    });
    return rv == CKR_OK;
}

// A token serves other applications too, through the daemon or their own
// HID handle: only the sessions this process opened are its to close. A token
// that does not answer is not asked again for each of its other sessions.
void CContext::closeOwnSessions()
{
    std::map<CK_SESSION_HANDLE, SlotId> own;
    {
        std::lock_guard<std::mutex> lock(libraryMutex());
        own = m_sessions;
    }
    std::set<SlotId> silent;
    for (const auto& [handle, slot] : own) {
        if (silent.count(slot) != 0) {
            continue;
        }
        try {
            if (C_CloseSession(handle) == CKR_FUNCTION_FAILED) {
                silent.insert(slot);
            }
        } catch (const std::exception&) {
            silent.insert(slot);
        }
    }
}

CK_RV CContext::C_Finalize(CK_VOID_PTR pReserved)
{
    logText(kLogTrace, "C_Finalize");
    if (pReserved != nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    closeOwnSessions();
    for (const SlotId id : slotIds()) {
        try {
            if (const SlotPtr slot = findSlot(static_cast<CK_SLOT_ID>(id))) {
                slot->close();
            }
        } catch (const std::exception&) {
            // Finalising goes on whatever one token does.
        }
    }
    {
        std::lock_guard<std::mutex> lock(libraryMutex());
        m_initialized = false;
        replaceSlots({});
        m_sessions.clear();
    }
    m_exchangeLock.destroyApplicationMutex();
    return CKR_OK;
}

}  // namespace vexa::pkcs11
