#pragma once
#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "CTransport.h"
#include "ExchangeLock.h"

namespace vexa::pkcs11 {

using SlotId = int32_t;

// One token as the library reaches it: the transport to it and the lock
// that keeps its exchanges one at a time. The transport and the device
// generation are used only by the holder of that lock.
class CSlot {
public:
    CSlot(std::unique_ptr<corvel::CTransport> transport, std::unique_ptr<CExchangeLock> lock);
    ~CSlot();
    CSlot(const CSlot&) = delete;
    CSlot& operator=(const CSlot&) = delete;

    CExchangeLock& exchangeLock() { return *m_lock; }
    corvel::CTransport& transport_inlock() { return *m_transport; }
    // The transport's device generation when the library last looked.
    uint64_t generation_inlock() const { return m_generation; }
    void setGeneration_inlock(uint64_t generation) { m_generation = generation; }
    // The product name the transport gave when it was last opened ("" through
    // the daemon, which does not tell); any thread may ask.
    std::string product() const;
    void setProduct(std::string product);

    // In a child process after fork: lets go of the inherited connection and
    // lock file without sending anything and without touching the locks,
    // which a thread of the parent may have held at the fork.
    void abandon();

private:
    std::unique_ptr<corvel::CTransport> m_transport;
    std::unique_ptr<CExchangeLock> m_lock;
    uint64_t m_generation = 0;
    mutable std::mutex m_productMutex;  // guards m_product
    std::string m_product;
};

// Shared: a call that found its slot keeps it alive even when C_Finalize
// empties the table meanwhile.
using SlotPtr = std::shared_ptr<CSlot>;

// The slots of the last C_Initialize, by slot id. The table changes only as a
// whole; any thread may look a slot up.
class CSlotTable {
public:
    using Table = std::map<SlotId, SlotPtr>;

    // Null for a slot id that is not in the table (also one beyond 32 bits).
    SlotPtr find(CK_SLOT_ID slotId) const;
    std::vector<SlotId> ids() const;
    // Puts slots in place of the table and returns the old one, whose slots go
    // with it or with the last call that still holds one.
    Table replace(Table slots);
    // After fork, in the child: abandons every slot without taking the lock.
    void abandonAfterFork();

private:
    mutable std::mutex m_mutex;  // guards m_slots, the table itself, not the slots in it
    Table m_slots;
};

}  // namespace vexa::pkcs11
