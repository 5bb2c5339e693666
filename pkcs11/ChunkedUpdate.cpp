#include <algorithm>

#include "CryptoSteps.h"

namespace vexa::pkcs11 {

CK_RV sendInParts(CContext& context, CK_SESSION_HANDLE hSession, FunctionId function, const CK_BYTE* input,
                  CK_ULONG length, size_t part)
{
    CK_ULONG offset = 0;
    CK_RV rv = CKR_OK;
    do {
        const CK_ULONG n = std::min<CK_ULONG>(length - offset, part);
        // A null input only ever comes with length 0: never offset a null pointer.
        ByteSpan chunk{input == nullptr ? nullptr : input + offset, static_cast<uint32_t>(n)};
        rv = exchangeOnSession(context, hSession, function,
                               [&](TokenCall& call) { setBytes(call.request.data, chunk); });
        offset += n;
    } while (offset < length && rv == CKR_OK);
    return rv;
}

CK_RV runChunkedUpdate(CContext& context, const char* name, CK_SESSION_HANDLE hSession, FunctionId function,
                       const CK_BYTE* input, CK_ULONG length, bool nullWithoutLengthIsEmpty)
{
    const auto checks = [&] {
        const bool refused = input == nullptr && !(nullWithoutLengthIsEmpty && length == 0);
        return refused ? CKR_ARGUMENTS_BAD : CKR_OK;
    };
    const Family family = familyOf(function)->family;
    return operationStep(context, hSession, family, [&] {
        return entryCall(context, name, checks, [&] {
            return holdingSessionToken(context, hSession, [&] {
                return sendInParts(context, hSession, function, input, length, kUpdateChunkSize);
            });
        });
    });
}

}  // namespace vexa::pkcs11
