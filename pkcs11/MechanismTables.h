#pragma once
#include <p11-kit/pkcs11.h>

#include <array>
#include <cstddef>

namespace vexa::pkcs11 {

// Mechanisms every token offers, in the order C_GetMechanismList reports them.
constexpr size_t kMechanismCount = 68;
const std::array<CK_MECHANISM_TYPE, kMechanismCount>& supportedMechanisms();

// Key sizes and flags of a mechanism the tokens know (a few more than they
// list); false for any other type.
bool findMechanismInfo(CK_MECHANISM_TYPE type, CK_MECHANISM_INFO& info);

// Largest RSA key a Varkon token generates; other tokens reach the table's 4096.
constexpr CK_ULONG kVarkonRsaKeyGenMax = 2048;

}  // namespace vexa::pkcs11
