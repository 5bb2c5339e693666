#include "CContext.h"

#include <limits>

#include "Configuration.h"

namespace vexa::pkcs11 {
namespace {

thread_local SlotId t_currentSlot = kNoSlot;

bool toSlotId(CK_SLOT_ID slotId, SlotId& out)
{
    if (slotId > static_cast<CK_SLOT_ID>(std::numeric_limits<SlotId>::max())) {
        return false;
    }
    out = static_cast<SlotId>(slotId);
    return true;
}

}  // namespace

std::mutex& CContext::libraryMutex()
{
    static std::mutex mutex;
    return mutex;
}

CContext& CContext::instance()
{
    std::lock_guard<std::mutex> lock(libraryMutex());
    // Never destroyed: applications may call in from their own exit handlers.
    static CContext* context = new CContext();
    return *context;
}

CContext::CContext() : CContext(findConfigDir(kConfigFileName)) {}

CContext::CContext(const std::string& configDir) : m_transportKind(hidTransportKind())
{
    loadConfiguration(*this, configDir);
    logText(corvel::kLogDebug, "New Instance");
}

CContext::~CContext() = default;

bool CContext::hasSlot(CK_SLOT_ID slotId) const
{
    SlotId id;
    return toSlotId(slotId, id) && m_slots.count(id) != 0;
}

corvel::CTransport* CContext::slotTransport(CK_SLOT_ID slotId)
{
    SlotId id;
    if (!toSlotId(slotId, id)) {
        return nullptr;
    }
    const auto found = m_slots.find(id);
    return found == m_slots.end() ? nullptr : found->second.transport.get();
}

void CContext::setCurrentSlot(CK_SLOT_ID slotId)
{
    SlotId id;
    t_currentSlot = toSlotId(slotId, id) ? id : kNoSlot;
}

SlotId CContext::currentSlot() { return t_currentSlot; }

CK_RV CContext::selectSlot(CK_SLOT_ID slotId)
{
    if (!hasSlot(slotId)) {
        return CKR_SLOT_ID_INVALID;
    }
    setCurrentSlot(slotId);
    return CKR_OK;
}

void CContext::addSession(CK_SESSION_HANDLE handle, SlotId slot) { m_sessions[handle] = slot; }

bool CContext::removeSession(CK_SESSION_HANDLE handle) { return m_sessions.erase(handle) != 0; }

CK_RV CContext::bindSession(CK_SESSION_HANDLE handle, RpcRequest& request)
{
    const auto found = m_sessions.find(handle);
    if (found == m_sessions.end()) {
        return CKR_SESSION_HANDLE_INVALID;
    }
    t_currentSlot = found->second;
    request.has_session = true;
    request.session = static_cast<uint32_t>(handle & 0xFFFFFFFFu);
    return CKR_OK;
}

}  // namespace vexa::pkcs11
