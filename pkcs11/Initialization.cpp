#include <ctime>
#include <exception>
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

CK_RV CContext::chooseLocking(CK_VOID_PTR pInitArgs, LockingChoice& choice)
{
    choice = LockingChoice{};
    if (pInitArgs == nullptr) {
        m_log.logText(kLogTrace, "C_Initialize");
        return CKR_OK;
    }
    m_log.logText(kLogDebug, "C_Initialize with non-null args");
    const auto& args = *static_cast<const CK_C_INITIALIZE_ARGS*>(pInitArgs);
    if (args.pReserved != nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    if ((args.flags & CKF_OS_LOCKING_OK) != 0) {
        m_log.logText(kLogDebug, "C_Initialize with locking requested");
        return CKR_OK;
    }
    if (!hasAnyCallback(args)) {
        return CKR_OK;
    }
    m_log.logText(kLogDebug, "C_Initialize with locking functions requested");
    // PKCS#11: some but not all callbacks is a bad argument, whichever is missing.
    if (!hasAllCallbacks(args)) {
        return CKR_ARGUMENTS_BAD;
    }
    choice = LockingChoice{true, args.CreateMutex, args.DestroyMutex, args.LockMutex, args.UnlockMutex};
    return CKR_OK;
}

std::unique_ptr<CLockFileToken> CContext::openLockFile(SerialId serial)
{
    if (m_lockFile.empty()) {
        return nullptr;
    }
    return std::make_unique<CLockFileToken>(m_lockFile, serial);
}

// Each token gets a lock of its own: exchanges with different tokens never
// wait for each other.
CK_RV CContext::buildSlots(const LockingChoice& locking, CSlotTable::Table& slots, size_t& tokenCount)
{
    const std::vector<SerialId> serials = m_transportKind.lister(m_settings, m_log);
    tokenCount = serials.size();
    for (size_t i = 0; i < serials.size(); ++i) {
        std::unique_ptr<CTransport> transport = m_transportKind.factory(serials[i], m_settings, m_log);
        if (transport == nullptr) {
            continue;
        }
        transport->setTimeout(m_settings.timeout);
        std::unique_ptr<CExchangeLock> lock;
        if (const CK_RV made = CExchangeLock::make(locking, lock); made != CKR_OK) {
            return made;
        }
        lock->useLockFile(openLockFile(serials[i]));
        slots.emplace(static_cast<SlotId>(i), std::make_shared<CSlot>(std::move(transport), std::move(lock)));
    }
    return CKR_OK;
}

// Listing the tokens talks to none of them: no exchange lock is taken.
CK_RV CContext::C_Initialize(CK_VOID_PTR pInitArgs)
{
    std::lock_guard<std::mutex> lifecycle(m_lifecycleMutex);
    if (m_initialized) {
        return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    }
    LockingChoice locking;
    if (const CK_RV chosen = chooseLocking(pInitArgs, locking); chosen != CKR_OK) {
        return chosen;
    }
    size_t tokenCount = 0;
    CSlotTable::Table slots;
    // A failed listing leaves the library uninitialised and says so: a CKR_OK
    // that every later call contradicts would hide it.
    try {
        if (const CK_RV built = buildSlots(locking, slots, tokenCount); built != CKR_OK) {
            return built;
        }
    } catch (const std::exception& error) {
        m_log.logText(kLogError, error.what());
        return CKR_FUNCTION_FAILED;
    } catch (...) {
        return CKR_FUNCTION_FAILED;
    }
    m_slots.replace(std::move(slots));
    m_initialized = true;
    setTokenClocks(tokenCount);
    return CKR_OK;
}

void CContext::setTokenClocks(size_t tokenCount)
{
    for (size_t i = 0; i < tokenCount; ++i) {
        try {
            (void)bSetDateTime(i);
        } catch (const std::exception&) {
            m_log.logText(kLogWarn, "Failed to set time");
        }
    }
}

bool CContext::bSetDateTime(CK_SLOT_ID slotID)
{
    const CK_RV rv = entryCall(*this, "bSetDateTime", kNoChecks, [&] {
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
    std::set<SlotId> silent;
    for (const auto& [handle, session] : m_sessions.all()) {
        if (silent.count(session.slot) != 0) {
            continue;
        }
        try {
            if (C_CloseSession(handle) == CKR_FUNCTION_FAILED) {
                silent.insert(session.slot);
            }
        } catch (const std::exception&) {
            silent.insert(session.slot);
        }
    }
}

CK_RV CContext::C_Finalize(CK_VOID_PTR pReserved)
{
    m_log.logText(kLogTrace, "C_Finalize");
    if (pReserved != nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    std::lock_guard<std::mutex> lifecycle(m_lifecycleMutex);
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    closeOwnSessions();
    for (const SlotId id : m_slots.ids()) {
        CHeldSlot held(m_callPath, static_cast<CK_SLOT_ID>(id));
        if (CTransport* transport = held.lockedTransport()) {
            try {
                transport->close();
            } catch (const std::exception&) {
                // Finalising goes on whatever one token does.
            }
        }
    }
    m_initialized = false;
    m_sessions.clear();
    // The old slots go here, or later with the last call that still holds one.
    m_slots.replace({});
    return CKR_OK;
}

}  // namespace vexa::pkcs11
