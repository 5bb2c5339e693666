#include "SessionTable.h"

#include <utility>

namespace vexa::pkcs11 {

void CSessionTable::add(CK_SESSION_HANDLE handle, SessionEntry entry)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sessions[handle] = entry;
    m_operations.erase(handle);
}

bool CSessionTable::remove(CK_SESSION_HANDLE handle)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_operations.erase(handle);
    return m_sessions.erase(handle) != 0;
}

void CSessionTable::removeSlot(SlotId slot)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        if (it->second.slot == slot) {
            m_operations.erase(it->first);
        }
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
        if (stale) {
            m_operations.erase(it->first);
        }
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
    m_operations.clear();
}

template <typename F>
void CSessionTable::withOperation(CK_SESSION_HANDLE handle, Family family, F f) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_sessions.count(handle) != 0) {
        f(m_operations[handle][static_cast<size_t>(family)]);
    }
}

void CSessionTable::markEndPending(CK_SESSION_HANDLE handle, Family family)
{
    withOperation(handle, family, [](OperationState& state) { state.endPending = true; });
}

bool CSessionTable::takeEndPending(CK_SESSION_HANDLE handle, Family family)
{
    bool pending = false;
    withOperation(handle, family, [&](OperationState& state) { pending = std::exchange(state.endPending, false); });
    return pending;
}

void CSessionTable::setMechanism(CK_SESSION_HANDLE handle, Family family, CK_MECHANISM_TYPE mechanism)
{
    withOperation(handle, family, [&](OperationState& state) { state.mechanism = mechanism; });
}

std::optional<CK_MECHANISM_TYPE> CSessionTable::mechanism(CK_SESSION_HANDLE handle, Family family) const
{
    std::optional<CK_MECHANISM_TYPE> found;
    withOperation(handle, family, [&](const OperationState& state) { found = state.mechanism; });
    return found;
}

void CSessionTable::keepResult(CK_SESSION_HANDLE handle, Family family, std::vector<uint8_t> result)
{
    withOperation(handle, family, [&](OperationState& state) { state.result = std::move(result); });
}

std::optional<std::vector<uint8_t>> CSessionTable::keptResult(CK_SESSION_HANDLE handle, Family family) const
{
    std::optional<std::vector<uint8_t>> found;
    withOperation(handle, family, [&](const OperationState& state) { found = state.result; });
    return found;
}

void CSessionTable::dropResult(CK_SESSION_HANDLE handle, Family family)
{
    withOperation(handle, family, [](OperationState& state) { state.result.reset(); });
}

}  // namespace vexa::pkcs11
