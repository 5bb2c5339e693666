#include <algorithm>

#include "CallShapes.h"
#include "FieldCallbacks.h"

namespace vexa::pkcs11 {

using namespace corvel;

namespace {

// Largest number of random bytes asked for in one request.
constexpr CK_ULONG kRandomChunkSize = 1024;

// One chunk of random bytes straight into the caller's buffer. A token that
// answers CKR_OK with fewer bytes than asked would leave part of the buffer
// as it was, looking random to the caller: that is a failure.
CK_RV fetchRandom(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR chunk, uint32_t length)
{
    if (length == 0) {
        return CKR_OK;
    }
    OutputBuffer output{chunk, length};
    const auto fill = [&](TokenCall& call) {
        call.request.has_outputLength = true;
        call.request.outputLength = length;
        setOutput(call.response.output, output);
    };
    return exchangeOnSession(context, hSession, fn::GenerateRandom, fill, [&](TokenCall& call) {
        if (call.response.rv == CKR_OK && output.received != length) {
            context.log().logFormat(kLogError, "Token sent %u of %u random bytes", output.received, length);
            return CKR_FUNCTION_FAILED;
        }
        return CK_RV{call.response.rv};
    });
}

}  // namespace

CK_RV CContext::C_SeedRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSeed, CK_ULONG ulSeedLen)
{
    ByteSpan seed{nullptr, 0};
    return sessionCall(
        *this, "C_SeedRandom", hSession, fn::SeedRandom,
        [&] { return pSeed == nullptr || ulSeedLen == 0 ? CKR_ARGUMENTS_BAD : inputSpan(pSeed, ulSeedLen, seed); },
        [&](TokenCall& call) { setBytes(call.request.data, seed); });
}

// The token stays held across the chunks, so no other call to it falls
// between them. Nothing is asked for nothing, even on a handle the library
// does not hold.
CK_RV CContext::C_GenerateRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pRandomData, CK_ULONG ulRandomLen)
{
    const auto checks = [&] { return pRandomData == nullptr ? CKR_ARGUMENTS_BAD : CKR_OK; };
    return entryCall(*this, "C_GenerateRandom", checks, [&] {
        if (ulRandomLen == 0) {
            return CKR_OK;
        }
        return holdingSessionToken(*this, hSession, [&] {
            CK_ULONG offset = 0;
            CK_RV rv = CKR_OK;
            do {
                const CK_ULONG length = std::min(ulRandomLen - offset, kRandomChunkSize);
                rv = fetchRandom(*this, hSession, pRandomData + offset, static_cast<uint32_t>(length));
                offset += length;
            } while (offset < ulRandomLen && rv == CKR_OK);
            return rv;
        });
    });
}

}  // namespace vexa::pkcs11
