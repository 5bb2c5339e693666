#include "CallShapes.h"

namespace vexa::pkcs11 {

// The token closes every session of the slot; the session table keeps their
// handles, and a later call with one gets the token's own answer.
CK_RV CContext::C_CloseAllSessions(CK_SLOT_ID slotID)
{
    return lockedCall(*this, "C_CloseAllSessions", kNoChecks, [&] {
        if (findSlot(slotID) == nullptr) {
            return CKR_SLOT_ID_INVALID;
        }
        return exchangeOnSlot(*this, slotID, kFnCloseAllSessions);
    });
}

}  // namespace vexa::pkcs11
