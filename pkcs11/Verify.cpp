#include "CryptoSteps.h"

namespace vexa::pkcs11 {

CK_RV CContext::C_VerifyInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey)
{
    return startSignVerifyOperation(*this, "C_VerifyInit", hSession, fn::VerifyInit, pMechanism, hKey);
}

CK_RV CContext::C_Verify(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
                         CK_ULONG ulSignatureLen)
{
    ByteSpan data{nullptr, 0};
    ByteSpan signature{nullptr, 0};
    const auto checks = [&] {
        if ((pData == nullptr && ulDataLen != 0) || pSignature == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        const CK_RV fits = inputSpan(pData, ulDataLen, data);
        return fits != CKR_OK ? fits : inputSpan(pSignature, ulSignatureLen, signature);
    };
    return sessionCall(*this, "C_Verify", hSession, fn::Verify, checks, [&](TokenCall& call) {
        setBytes(call.request.data, data);
        setBytes(call.request.data2, signature);
    });
}

CK_RV CContext::C_VerifyUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen)
{
    return runChunkedUpdate(*this, "C_VerifyUpdate", hSession, fn::VerifyUpdate, pPart, ulPartLen, true);
}

CK_RV CContext::C_VerifyFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen)
{
    ByteSpan signature{nullptr, 0};
    const auto checks = [&] {
        const bool bad = pSignature == nullptr && ulSignatureLen != 0;
        return bad ? CKR_ARGUMENTS_BAD : inputSpan(pSignature, ulSignatureLen, signature);
    };
    return sessionCall(*this, "C_VerifyFinal", hSession, fn::VerifyFinal, checks,
                       [&](TokenCall& call) { setBytes(call.request.data, signature); });
}

}  // namespace vexa::pkcs11
