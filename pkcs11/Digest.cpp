#include <mutex>

#include "CryptoSteps.h"
#include "MechanismCarriage.h"

namespace vexa::pkcs11 {
namespace {

// Room for the largest digest the tokens make (SHA-512).
constexpr CK_ULONG kScratchDigestSize = 64;

// PKCS#11 lets a caller repeat C_Digest with the same data after
// CKR_BUFFER_TOO_SMALL. Once the data has reached the token it would be
// digested twice, so a buffer that may be too small is measured first; the
// operation goes on untouched when it is.
CK_RV checkDigestRoom(CContext& context, CK_SESSION_HANDLE hSession, CK_ULONG_PTR pulDigestLen)
{
    if (pulDigestLen == nullptr || *pulDigestLen >= kScratchDigestSize) {
        return CKR_OK;
    }
    CK_ULONG needed = 0;
    if (const CK_RV asked = context.C_DigestFinal(hSession, nullptr, &needed); asked != CKR_OK) {
        return asked;
    }
    if (needed > *pulDigestLen) {
        *pulDigestLen = needed;
        return CKR_BUFFER_TOO_SMALL;
    }
    return CKR_OK;
}

}  // namespace

CK_RV CContext::C_DigestInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism)
{
    logText(corvel::kLogTrace, "C_DigestInit");
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (pMechanism == nullptr || unfitParameter(*pMechanism)) {
        return CKR_ARGUMENTS_BAD;
    }
    RpcMechanism fields = RpcMechanism_init_zero;
    carryPlain(fields, *pMechanism);
    std::lock_guard<std::mutex> lock(libraryMutex());
    return sendInit_inlock(*this, hSession, kFnDigestInit, fields, std::nullopt);
}

// Built from the two halves, each under the lock of its own: another
// thread's call may run between them.
CK_RV CContext::C_Digest(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pDigest,
                         CK_ULONG_PTR pulDigestLen)
{
    logText(corvel::kLogTrace, "C_Digest");
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (pDigest == nullptr && (pData != nullptr || ulDataLen == 0)) {
        // A length query: the data stays with the caller until it has room.
        return C_DigestFinal(hSession, nullptr, pulDigestLen);
    }
    if (pData != nullptr) {
        if (const CK_RV room = checkDigestRoom(*this, hSession, pulDigestLen); room != CKR_OK) {
            return room;
        }
        const CK_RV absorbed = C_DigestUpdate(hSession, pData, ulDataLen);
        return absorbed == CKR_OK ? C_DigestFinal(hSession, pDigest, pulDigestLen) : absorbed;
    }
    // No data: the digest of nothing, or, with a length that claims data, a
    // bad call that still ends the token's operation as PKCS#11 requires.
    CK_RV rv = CKR_OK;
    if (pDigest == nullptr) {
        CK_BYTE scratch[kScratchDigestSize];
        CK_ULONG scratchLength = sizeof(scratch);
        (void)C_DigestFinal(hSession, scratch, &scratchLength);
    } else {
        rv = C_DigestFinal(hSession, pDigest, pulDigestLen);
    }
    return ulDataLen != 0 ? CKR_ARGUMENTS_BAD : rv;
}

CK_RV CContext::C_DigestUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen)
{
    logText(corvel::kLogTrace, "C_DigestUpdate");
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (pPart == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    std::lock_guard<std::mutex> lock(libraryMutex());
    return sendChunks_inlock(*this, hSession, kFnDigestUpdate, pPart, ulPartLen);
}

CK_RV CContext::C_DigestKey(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hKey)
{
    logText(corvel::kLogTrace, "C_DigestKey");
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    std::lock_guard<std::mutex> lock(libraryMutex());
    RpcRequest request;
    if (const CK_RV opened = openRequest_inlock(*this, hSession, kFnDigestKey, request); opened != CKR_OK) {
        return opened;
    }
    request.has_handle = true;
    request.handle = low32(hKey);
    RpcResponse response = RpcResponse_init_zero;
    callToken(request, response, true);
    return response.rv;
}

CK_RV CContext::C_DigestFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pDigest, CK_ULONG_PTR pulDigestLen)
{
    logText(corvel::kLogTrace, "C_DigestFinal");
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    std::lock_guard<std::mutex> lock(libraryMutex());
    RpcRequest request;
    if (const CK_RV opened = openRequest_inlock(*this, hSession, kFnDigestFinal, request); opened != CKR_OK) {
        return opened;
    }
    RpcResponse response = RpcResponse_init_zero;
    OutputBuffer reader;
    if (pulDigestLen != nullptr) {
        if (pDigest == nullptr) {
            request.has_lengthOnly = true;
            request.lengthOnly = true;
        } else {
            request.has_outputLength = true;
            request.outputLength = capacity32(*pulDigestLen);
            reader = OutputBuffer{pDigest, request.outputLength};
            setOutput(response.output, reader);
        }
    }
    exchangeWithOutput(*this, request, response, reader);
    if (pulDigestLen != nullptr) {
        *pulDigestLen = outputLengthOf(response, reader);
    }
    return response.rv;
}

}  // namespace vexa::pkcs11
