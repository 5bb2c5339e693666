#include "SessionTable.h"

namespace vexa::pkcs11 {

void CSessionTable::add(CK_SESSION_HANDLE handle, SessionEntry entry)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sessions[handle] = entry;
}

bool CSessionTable::remove(CK_SESSION_HANDLE handle)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sessions.erase(handle) != 0;
}

void CSessionTable::removeSlot(SlotId slot)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        it = it->second.slot == slot ? m_sessions.erase(it) : std::next(it);
    }
}

size_t CSessionTable::removeOtherDevices(SlotId slot, uint64_t generation)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t removed = 0;
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        const bool stale = it->second.slot == slot && it->second.generation != generation;
        removed += stale ? 1 : 0;
        it = stale ? m_sessions.erase(it) : std::next(it);
    }
    return removed;
}

std::optional<SessionEntry> CSessionTable::find(CK_SESSION_HANDLE handle) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_sessions.find(handle);
    if (found == m_sessions.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::vector<std::pair<CK_SESSION_HANDLE, SessionEntry>> CSessionTable::all() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return {m_sessions.begin(), m_sessions.end()};
}

void CSessionTable::clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sessions.clear();
}

}  // namespace vexa::pkcs11
