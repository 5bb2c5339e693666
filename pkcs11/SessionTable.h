#pragma once
#include <p11-kit/pkcs11.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "OperationFamilies.h"
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

// What the library keeps of one family's operation on a session, so that the
// application's view of it and the token's stay the same.
struct OperationState {
    // The application was told the operation ended, but the token may still
    // hold it (the request was refused here, never reached the token, or its
    // reply was lost): the session's next request of the family ends it first.
    bool endPending = false;
    // The mechanism of the operation started last.
    std::optional<CK_MECHANISM_TYPE> mechanism;
    // A result the token produced (and so ended its operation with) that the
    // application had no room for yet: its next call with room takes it.
    std::optional<std::vector<uint8_t>> result;
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
    // The operation state of a family; nothing happens for a handle not held.
    void markEndPending(CK_SESSION_HANDLE handle, Family family);
    // Whether an end was pending, which it is no longer.
    bool takeEndPending(CK_SESSION_HANDLE handle, Family family);
    void setMechanism(CK_SESSION_HANDLE handle, Family family, CK_MECHANISM_TYPE mechanism);
    std::optional<CK_MECHANISM_TYPE> mechanism(CK_SESSION_HANDLE handle, Family family) const;
    void keepResult(CK_SESSION_HANDLE handle, Family family, std::vector<uint8_t> result);
    std::optional<std::vector<uint8_t>> keptResult(CK_SESSION_HANDLE handle, Family family) const;
    void dropResult(CK_SESSION_HANDLE handle, Family family);
    // Every session, for C_Finalize to close.
    std::vector<std::pair<CK_SESSION_HANDLE, SessionEntry>> all() const;
    void clear();

private:
    mutable std::mutex m_mutex;  // guards m_sessions
    // Runs f on the family's state of the handle, when it is held.
    template <typename F>
    void withOperation(CK_SESSION_HANDLE handle, Family family, F f) const;

    std::map<CK_SESSION_HANDLE, SessionEntry> m_sessions;
    mutable std::map<CK_SESSION_HANDLE, std::array<OperationState, kFamilyCount>> m_operations;
};

}  // namespace vexa::pkcs11
