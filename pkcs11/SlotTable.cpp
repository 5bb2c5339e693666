#include "SlotTable.h"

#include <limits>

namespace vexa::pkcs11 {

CSlot::CSlot(std::unique_ptr<corvel::CTransport> transport, std::unique_ptr<CExchangeLock> lock)
    : m_transport(std::move(transport)), m_lock(std::move(lock))
{}

CSlot::~CSlot() = default;

std::string CSlot::product() const
{
    std::lock_guard<std::mutex> lock(m_productMutex);
    return m_product;
}

void CSlot::setProduct(std::string product)
{
    std::lock_guard<std::mutex> lock(m_productMutex);
    m_product = std::move(product);
}

void CSlot::abandon()
{
    try {
        m_transport->abandon();
    } catch (...) {
        // Nothing of the parent's connection is the child's to repair.
    }
    m_lock->abandon();
}

SlotPtr CSlotTable::find(CK_SLOT_ID slotId) const
{
    if (slotId > static_cast<CK_SLOT_ID>(std::numeric_limits<SlotId>::max())) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_slots.find(static_cast<SlotId>(slotId));
    return found == m_slots.end() ? nullptr : found->second;
}

std::vector<SlotId> CSlotTable::ids() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<SlotId> ids;
    ids.reserve(m_slots.size());
    for (const auto& slot : m_slots) {
        ids.push_back(slot.first);
    }
    return ids;
}

CSlotTable::Table CSlotTable::replace(Table slots)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_slots.swap(slots);
    return slots;
}

// The child runs alone: no lock is needed, and one that a parent thread held
// at the fork would never be released.
void CSlotTable::abandonAfterFork()
{
    for (auto& slot : m_slots) {
        slot.second->abandon();
    }
}

}  // namespace vexa::pkcs11
