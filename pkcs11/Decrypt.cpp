#include "CryptoSteps.h"
#include "MechanismCarriage.h"

namespace vexa::pkcs11 {

// A length without a parameter is refused as C_EncryptInit refuses it.
CK_RV CContext::C_DecryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey)
{
    return startCipherOperation(*this, "C_DecryptInit", hSession, fn::DecryptInit, pMechanism, hKey,
                                [&] { return pMechanism == nullptr || claimsMissingParameter(*pMechanism); });
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
