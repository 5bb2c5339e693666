#include <algorithm>

#include "CallShapes.h"
#include "MechanismTables.h"

namespace vexa::pkcs11 {
namespace {

// A Varkon is only recognised on a slot the library drives over HID itself;
// through the daemon the product is not known.
bool isVarkon(const CSlot& slot) { return slot.product() == "Varkon"; }

}  // namespace

CK_RV CContext::C_GetMechanismList(CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList, CK_ULONG_PTR pulCount)
{
    return entryCall(*this, "C_GetMechanismList", kNoChecks, [&] {
        if (m_slots.find(slotID) == nullptr) {
            return CKR_SLOT_ID_INVALID;
        }
        if (pulCount == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        const auto& mechanisms = supportedMechanisms();
        if (pMechanismList == nullptr) {
            *pulCount = mechanisms.size();
            return CKR_OK;
        }
        const CK_ULONG room = *pulCount;
        *pulCount = mechanisms.size();
        if (room < mechanisms.size()) {
            return CKR_BUFFER_TOO_SMALL;
        }
        std::copy(mechanisms.begin(), mechanisms.end(), pMechanismList);
        return CKR_OK;
    });
}

// Answered from the table, without an exchange and without the token's
// exchange lock, so it answers while another thread waits for a key pair to
// be generated.
CK_RV CContext::C_GetMechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR pInfo)
{
    const auto checks = [&] { return pInfo == nullptr ? CKR_ARGUMENTS_BAD : CKR_OK; };
    return entryCall(*this, "C_GetMechanismInfo", checks, [&] {
        const SlotPtr slot = m_slots.find(slotID);
        if (slot == nullptr) {
            return CKR_SLOT_ID_INVALID;
        }
        CK_MECHANISM_INFO info{};
        if (!findMechanismInfo(type, info)) {
            m_log.logFormat(corvel::kLogWarn, "Mechanism not supported: 0x%08lx", type);
            return CKR_MECHANISM_INVALID;
        }
        if (type == CKM_RSA_PKCS_KEY_PAIR_GEN && isVarkon(*slot)) {
            info.ulMaxKeySize = kVarkonRsaKeyGenMax;
        }
        *pInfo = info;
        return CKR_OK;
    });
}

}  // namespace vexa::pkcs11
