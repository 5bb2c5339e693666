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
    if (*pulDigestLen >= kScratchDigestSize) {
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
    CStructuredMechanism carried;
    const auto checks = [&] {
        return pMechanism == nullptr || unfitParameter(*pMechanism) ? CKR_ARGUMENTS_BAD
                                                                    : carried.carry(*pMechanism, PlainWay::Bare);
    };
    return sessionCall(*this, "C_DigestInit", hSession, fn::DigestInit, checks, [&](TokenCall& call) {
        call.request.has_mechanism = true;
        carried.writeTo(call.request.mechanism);
    });
}

// Built from the two halves, with the token held across them: no other call
// to the token runs between them.
CK_RV CContext::C_Digest(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pDigest,
                         CK_ULONG_PTR pulDigestLen)
{
    // PKCS#11 asks for the length pointer in every digest call; without one
    // the token would end the operation and the result would be lost.
    const auto checks = [&] { return pulDigestLen == nullptr ? CKR_ARGUMENTS_BAD : CKR_OK; };
    return operationStep(*this, hSession, Family::Digest, [&] {
        return entryCall(*this, "C_Digest", checks, [&] {
            return holdingSessionToken(*this, hSession, [&] {
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
            });
        });
    });
}

CK_RV CContext::C_DigestUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen)
{
    return runChunkedUpdate(*this, "C_DigestUpdate", hSession, fn::DigestUpdate, pPart, ulPartLen, false);
}

CK_RV CContext::C_DigestKey(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hKey)
{
    return operationStep(*this, hSession, Family::Digest, [&] {
        return sessionCall(*this, "C_DigestKey", hSession, fn::DigestKey, kNoChecks, [&](TokenCall& call) {
            call.request.has_handle = true;
            call.request.handle = low32(hKey);
        });
    });
}

CK_RV CContext::C_DigestFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pDigest, CK_ULONG_PTR pulDigestLen)
{
    OutputBuffer reader;
    const auto checks = [&] { return pulDigestLen == nullptr ? CKR_ARGUMENTS_BAD : CKR_OK; };
    const auto fill = [&](TokenCall& call) {
        if (pDigest == nullptr) {
            call.request.has_lengthOnly = true;
            call.request.lengthOnly = true;
        } else {
            call.request.has_outputLength = true;
            call.request.outputLength = capacity32(*pulDigestLen);
            reader = OutputBuffer{pDigest, call.request.outputLength};
            setOutput(call.response.output, reader);
        }
    };
    return operationStep(*this, hSession, Family::Digest, [&] {
        return sessionCall(*this, "C_DigestFinal", hSession, fn::DigestFinal, checks, fill, [&](TokenCall& call) {
            const CK_RV rv = checkOutput(*this, call.response, reader);
            *pulDigestLen = outputLengthOf(call.response, reader);
            return rv;
        });
    });
}

}  // namespace vexa::pkcs11
