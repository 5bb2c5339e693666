#include <cstring>

#include "CryptoSteps.h"

namespace vexa::pkcs11 {

CK_RV handOutResult(CContext& context, CK_SESSION_HANDLE hSession, Family family, std::vector<uint8_t> result,
                    CK_BYTE* output, CK_ULONG_PTR outputLength)
{
    const CK_ULONG needed = result.size();
    if (output == nullptr || *outputLength < needed) {
        const CK_RV rv = output == nullptr ? CKR_OK : CKR_BUFFER_TOO_SMALL;
        *outputLength = needed;
        context.sessions().keepResult(hSession, family, std::move(result));
        return rv;
    }
    if (needed != 0) {
        std::memcpy(output, result.data(), needed);
    }
    *outputLength = needed;
    context.sessions().dropResult(hSession, family);
    return CKR_OK;
}

std::optional<CK_RV> handOutKeptResult(CContext& context, CK_SESSION_HANDLE hSession, Family family, CK_BYTE* output,
                                       CK_ULONG_PTR outputLength)
{
    std::optional<std::vector<uint8_t>> kept = context.sessions().keptResult(hSession, family);
    if (!kept) {
        return std::nullopt;
    }
    return handOutResult(context, hSession, family, std::move(*kept), output, outputLength);
}

bool operationRunsInParts(CContext& context, CK_SESSION_HANDLE hSession, Family family)
{
    const std::optional<CK_MECHANISM_TYPE> mechanism = context.sessions().mechanism(hSession, family);
    return mechanism && runsInParts(family, *mechanism);
}

}  // namespace vexa::pkcs11
