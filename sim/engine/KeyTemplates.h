#pragma once
// What a key the token is given must hold. SoftHSM2 stores whatever a
// template carries and finds out that a key is incomplete only when it
// computes with it, crashing on a missing number; a token refuses such a
// key when it is made.
#include <p11-kit/pkcs11.h>

namespace vexa::sim::engine {

// C_CreateObject's template: CKR_OK for anything but a key; for a key of a
// type the token knows, CKR_TEMPLATE_INCOMPLETE when a part of it is
// missing; for any key, CKR_ATTRIBUTE_VALUE_INVALID when a part is empty.
CK_RV checkNewKey(const CK_ATTRIBUTE* templ, CK_ULONG count);

}  // namespace vexa::sim::engine
