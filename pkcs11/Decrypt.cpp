#include "CryptoSteps.h"
#include "MechanismCarriage.h"

namespace vexa::pkcs11 {

// A length without a parameter is refused as C_EncryptInit refuses it.
CK_RV CContext::C_DecryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey)
{
    CStructuredMechanism carried;
    const auto checks = [&] {
        if (pMechanism == nullptr || claimsMissingParameter(*pMechanism)) {
            return CKR_ARGUMENTS_BAD;
        }
        return carried.prepare(*pMechanism, m_log);
    };
    return sessionCall(
        *this, "C_DecryptInit", hSession, fn::DecryptInit, checks,
        [&](TokenCall& call) {
            RpcMechanism fields = RpcMechanism_init_zero;
            carried.writeTo(fields);
            setOperation(call.request, fields, hKey);
        },
        [&](TokenCall& call) {
            if (call.response.rv == CKR_OK) {
                sessions().setMechanism(hSession, Family::Decrypt, pMechanism->mechanism);
            }
            return CK_RV{call.response.rv};
        });
}

CK_RV CContext::C_Decrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedData, CK_ULONG ulEncryptedDataLen,
                          CK_BYTE_PTR pData, CK_ULONG_PTR pulDataLen)
{
    constexpr DataFunctions kFunctions{Family::Decrypt, fn::Decrypt, fn::DecryptUpdate, fn::DecryptFinal};
    return runSinglePartData(*this, "C_Decrypt", hSession, kFunctions, pEncryptedData, ulEncryptedDataLen, pData,
                             pulDataLen);
}

CK_RV CContext::C_DecryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedPart, CK_ULONG ulEncryptedPartLen,
                                CK_BYTE_PTR pPart, CK_ULONG_PTR pulPartLen)
{
    return runDataFunction(*this, "C_DecryptUpdate", hSession, fn::DecryptUpdate, pEncryptedPart, ulEncryptedPartLen,
                           pPart, pulPartLen);
}

CK_RV CContext::C_DecryptFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pLastPart, CK_ULONG_PTR pulLastPartLen)
{
    return runDataFunction(*this, "C_DecryptFinal", hSession, fn::DecryptFinal, nullptr, 0, pLastPart, pulLastPartLen);
}

}  // namespace vexa::pkcs11
