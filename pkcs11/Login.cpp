#include "CallShapes.h"
#include "FieldCallbacks.h"

namespace vexa::pkcs11 {

CK_RV CContext::C_Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen)
{
    ByteSpan pin{nullptr, 0};
    return sessionCall(
        *this, "C_Login", hSession, fn::Login,
        [&] { return pPin == nullptr ? CKR_ARGUMENTS_BAD : inputSpan(pPin, ulPinLen, pin); },
        [&](TokenCall& call) {
            call.request.has_value = true;
            call.request.value = low32(userType);
            setBytes(call.request.data, pin);
        });
}

CK_RV CContext::C_Logout(CK_SESSION_HANDLE hSession) { return sessionCall(*this, "C_Logout", hSession, fn::Logout); }

// A null PIN of length 0 is sent empty: the token may take the PIN from a
// protected path of its own.
CK_RV CContext::C_InitPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen)
{
    ByteSpan pin{nullptr, 0};
    return sessionCall(
        *this, "C_InitPIN", hSession, fn::InitPIN,
        [&] { return pPin == nullptr && ulPinLen != 0 ? CKR_ARGUMENTS_BAD : inputSpan(pPin, ulPinLen, pin); },
        [&](TokenCall& call) { setBytes(call.request.data, pin); });
}

CK_RV CContext::C_SetPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen,
                         CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen)
{
    ByteSpan oldPin{nullptr, 0};
    ByteSpan newPin{nullptr, 0};
    const auto checks = [&] {
        if (pOldPin == nullptr || pNewPin == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        const CK_RV fits = inputSpan(pOldPin, ulOldLen, oldPin);
        return fits != CKR_OK ? fits : inputSpan(pNewPin, ulNewLen, newPin);
    };
    return sessionCall(*this, "C_SetPIN", hSession, fn::SetPIN, checks, [&](TokenCall& call) {
        setBytes(call.request.data, oldPin);
        setBytes(call.request.data2, newPin);
    });
}

}  // namespace vexa::pkcs11
