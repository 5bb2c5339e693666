#pragma once
#include <p11-kit/pkcs11.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "SlotTable.h"

namespace vexa::pkcs11 {

// What the library knows of a session it opened: the slot, and the device
// generation of the slot's token at the opening. A token that has gone away
// since holds none of its sessions, and its session numbers may already
// belong to other applications' sessions.
struct SessionEntry {
    SlotId slot = 0;
    uint64_t generation = 0;
};

// The sessions this process opened, by handle.
class CSessionTable {
public:
    void add(CK_SESSION_HANDLE handle, SessionEntry entry);
    // False when the handle was not there.
    bool remove(CK_SESSION_HANDLE handle);
    // Forgets every session of slot.
    void removeSlot(SlotId slot);
    // Forgets the sessions of slot that were opened on another device than
    // the one of generation; how many.
    size_t removeOtherDevices(SlotId slot, uint64_t generation);
    std::optional<SessionEntry> find(CK_SESSION_HANDLE handle) const;
    // Every session, for C_Finalize to close.
    std::vector<std::pair<CK_SESSION_HANDLE, SessionEntry>> all() const;
    void clear();

private:
    mutable std::mutex m_mutex;  // guards m_sessions
    std::map<CK_SESSION_HANDLE, SessionEntry> m_sessions;
};

}  // namespace vexa::pkcs11
