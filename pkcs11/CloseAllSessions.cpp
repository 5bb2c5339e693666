#include "CallShapes.h"

namespace vexa::pkcs11 {

// The token closes every session of the slot, those of other applications
// too. Once it has, the handles are forgotten: the token may hand their
// numbers to new sessions of other applications, and a later call (or
// C_Finalize) with an old handle must not reach one of those.
CK_RV CContext::C_CloseAllSessions(CK_SLOT_ID slotID)
{
    return entryCall(*this, "C_CloseAllSessions", kNoChecks, [&] {
        if (m_slots.find(slotID) == nullptr) {
            return CKR_SLOT_ID_INVALID;
        }
        const CK_RV rv = exchangeOnSlot(*this, slotID, fn::CloseAllSessions);
        if (rv == CKR_OK) {
            m_sessions.removeSlot(static_cast<SlotId>(slotID));
        }
        return rv;
    });
}

}  // namespace vexa::pkcs11
