#include "CContext.h"

#include <limits>

#include "Configuration.h"

namespace vexa::pkcs11 {

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

CContext::CContext(const std::string& configDir, TransportKind kind) : CContext(configDir)
{
    m_transportKind = std::move(kind);
}

CContext::~CContext() = default;

SlotPtr CContext::findSlot(CK_SLOT_ID slotId) const
{
    if (slotId > static_cast<CK_SLOT_ID>(std::numeric_limits<SlotId>::max())) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(m_slotsMutex);
    const auto found = m_slots.find(static_cast<SlotId>(slotId));
    return found == m_slots.end() ? nullptr : found->second;
}

std::vector<SlotId> CContext::slotIds() const
{
    std::lock_guard<std::mutex> lock(m_slotsMutex);
    std::vector<SlotId> ids;
    for (const auto& slot : m_slots) {
        ids.push_back(slot.first);
    }
    return ids;
}

void CContext::replaceSlots(SlotTable slots)
{
    {
        std::lock_guard<std::mutex> lock(m_slotsMutex);
        m_slots.swap(slots);
    }
    // The old slots go here, or later with the last call that still holds one.
}

void CContext::addSession(CK_SESSION_HANDLE handle, SlotId slot) { m_sessions[handle] = slot; }

bool CContext::removeSession(CK_SESSION_HANDLE handle) { return m_sessions.erase(handle) != 0; }

void CContext::removeSessions(SlotId slot)
{
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        it = it->second == slot ? m_sessions.erase(it) : std::next(it);
    }
}

CK_RV CContext::bindSession(CK_SESSION_HANDLE handle, RpcRequest& request, SlotId& slot) const
{
    const auto found = m_sessions.find(handle);
    if (found == m_sessions.end()) {
        return CKR_SESSION_HANDLE_INVALID;
    }
    slot = found->second;
    request.has_session = true;
    request.session = static_cast<uint32_t>(handle & 0xFFFFFFFFu);
    return CKR_OK;
}

}  // namespace vexa::pkcs11
