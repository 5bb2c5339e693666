#pragma once
#include <p11-kit/pkcs11.h>

#include <new>

#include "CContext.h"

// Marks the few definitions that the module exports (see vexa-pkcs11.map).
#define VEXA_EXPORT __attribute__((visibility("default")))

namespace vexa::pkcs11 {

// Every exported entry runs its implementation through one of these, so that
// no exception reaches the application.
template <typename Call>
CK_RV guardedCall(Call&& call) noexcept
{
    try {
        return call();
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    } catch (...) {
        return CKR_FUNCTION_FAILED;
    }
}

template <typename Call>
bool guardedBool(Call&& call) noexcept
{
    try {
        return call();
    } catch (...) {
        return false;
    }
}

}  // namespace vexa::pkcs11

// Defines the exported PKCS#11 function `name`: a thin forward to the
// context's implementation of the same name, with nothing escaping it.
// Usage: VEXA_PKCS11_ENTRY(C_Logout, (CK_SESSION_HANDLE hSession), (hSession))
#define VEXA_PKCS11_ENTRY(name, params, args)                                                               \
    extern "C" VEXA_EXPORT CK_RV name params                                                                \
    {                                                                                                       \
        return ::vexa::pkcs11::guardedCall([&] { return ::vexa::pkcs11::CContext::instance().name args; }); \
    }
