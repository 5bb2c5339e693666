#include "CContext.h"
#include "EntryGuard.h"
#include "VexaExtensions.h"

using vexa::pkcs11::CContext;

extern "C" VEXA_EXPORT bool bSetDateTime(CK_SLOT_ID slotID)
{
    return vexa::pkcs11::guardedBool([&] { return CContext::instance().bSetDateTime(slotID); });
}
