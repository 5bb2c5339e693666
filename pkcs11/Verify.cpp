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
    // Data too large for one message goes as C_VerifyUpdate parts and a
    // C_VerifyFinal when the mechanism runs in parts.
    return operationStep(*this, hSession, Family::Verify, [&] {
        return entryCall(*this, "C_Verify", checks, [&] {
            return holdingSessionToken(*this, hSession, [&] {
                // The signature travels in the same message.
                if (static_cast<size_t>(data.length) + signature.length <= kOneMessageInput) {
                    return exchangeOnSession(*this, hSession, fn::Verify, [&](TokenCall& call) {
                        setBytes(call.request.data, data);
                        setBytes(call.request.data2, signature);
                    });
                }
                if (!operationRunsInParts(*this, hSession, Family::Verify)) {
                    m_log.logFormat(corvel::kLogError, "C_Verify: %lu bytes do not fit one message", ulDataLen);
                    return CKR_DATA_LEN_RANGE;
                }
                const CK_RV absorbed =
                    sendInParts(*this, hSession, fn::VerifyUpdate, pData, ulDataLen, kUpdateChunkSize);
                if (absorbed != CKR_OK) {
                    return absorbed;
                }
                return exchangeOnSession(*this, hSession, fn::VerifyFinal,
                                         [&](TokenCall& call) { setBytes(call.request.data, signature); });
            });
        });
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
    return operationStep(*this, hSession, Family::Verify, [&] {
        return sessionCall(*this, "C_VerifyFinal", hSession, fn::VerifyFinal, checks,
                           [&](TokenCall& call) { setBytes(call.request.data, signature); });
    });
}

}  // namespace vexa::pkcs11
