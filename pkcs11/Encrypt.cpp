#include "CryptoSteps.h"
#include "MechanismCarriage.h"

namespace vexa::pkcs11 {

CK_RV CContext::C_EncryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey)
{
    return startCipherOperation(*this, "C_EncryptInit", hSession, fn::EncryptInit, pMechanism, hKey, [&] {
        if (pMechanism == nullptr) {
            m_log.logText(corvel::kLogDebug, "C_EncryptInit invalid params - mechanism is NULL.");
            return true;
        }
        if (claimsMissingParameter(*pMechanism)) {
            m_log.logText(corvel::kLogDebug,
                          "C_EncryptInit invalid params - mechanism is NULL but param len is not null.");
            return true;
        }
        return false;
    });
}

CK_RV CContext::C_Encrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pEncryptedData,
                          CK_ULONG_PTR pulEncryptedDataLen)
{
    constexpr DataFunctions kFunctions{Family::Encrypt, fn::Encrypt, fn::EncryptUpdate, fn::EncryptFinal};
    return runSinglePartData(*this, "C_Encrypt", hSession, kFunctions, pData, ulDataLen, pEncryptedData,
                             pulEncryptedDataLen);
}

CK_RV CContext::C_EncryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen,
                                CK_BYTE_PTR pEncryptedPart, CK_ULONG_PTR pulEncryptedPartLen)
{
    return runDataFunction(*this, "C_EncryptUpdate", hSession, fn::EncryptUpdate, pPart, ulPartLen, pEncryptedPart,
                           pulEncryptedPartLen);
}

CK_RV CContext::C_EncryptFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pLastEncryptedPart,
                               CK_ULONG_PTR pulLastEncryptedPartLen)
{
    return runDataFunction(*this, "C_EncryptFinal", hSession, fn::EncryptFinal, nullptr, 0, pLastEncryptedPart,
                           pulLastEncryptedPartLen);
}

}  // namespace vexa::pkcs11
