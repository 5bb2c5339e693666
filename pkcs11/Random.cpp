#include <algorithm>
#include <mutex>

#include "CContext.h"
#include "FieldCallbacks.h"
#include "RpcFunctionIds.h"
#include "SessionCall.h"

namespace vexa::pkcs11 {

using namespace corvel;

namespace {

// Largest number of random bytes asked for in one request.
constexpr CK_ULONG kRandomChunkSize = 1024;

// One chunk of random bytes straight into the caller's buffer. A token that
// answers CKR_OK with fewer bytes than asked would leave part of the buffer
// as it was, looking random to the caller: that is a failure.
CK_RV fetchRandom_inlock(CContext& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR chunk, uint32_t length)
{
    if (length == 0) {
        return CKR_OK;
    }
    RpcRequest request = RpcRequest_init_zero;
    request.function = kFnGenerateRandom;
    request.has_outputLength = true;
    request.outputLength = length;
    RpcResponse response = RpcResponse_init_zero;
    OutputBuffer output;
    output.buffer = chunk;
    output.capacity = length;
    setOutput(response.output, output);
    const CK_RV rv = callOnSession_inlock(context, hSession, request, response, false);
    if (rv == CKR_OK && output.received != length) {
        context.logFormat(kLogError, "Token sent %u of %u random bytes", output.received, length);
        return CKR_FUNCTION_FAILED;
    }
    return rv;
}

}  // namespace

CK_RV CContext::C_SeedRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSeed, CK_ULONG ulSeedLen)
{
    logText(kLogTrace, "C_SeedRandom");
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (pSeed == nullptr || ulSeedLen == 0) {
        return CKR_ARGUMENTS_BAD;
    }
    ByteSpan seed{nullptr, 0};
    if (const CK_RV fits = inputSpan(pSeed, ulSeedLen, seed); fits != CKR_OK) {
        return fits;
    }
    std::lock_guard<std::mutex> lock(libraryMutex());
    RpcRequest request = RpcRequest_init_zero;
    request.function = kFnSeedRandom;
    setBytes(request.data, seed);
    RpcResponse response = RpcResponse_init_zero;
    return callOnSession_inlock(*this, hSession, request, response);
}

// The lock stays held across the chunks, so no other call falls between them.
CK_RV CContext::C_GenerateRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pRandomData, CK_ULONG ulRandomLen)
{
    logText(kLogTrace, "C_GenerateRandom");
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (pRandomData == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    std::lock_guard<std::mutex> lock(libraryMutex());
    CK_ULONG offset = 0;
    CK_RV rv = CKR_OK;
    do {
        const CK_ULONG length = std::min(ulRandomLen - offset, kRandomChunkSize);
        rv = fetchRandom_inlock(*this, hSession, pRandomData + offset, static_cast<uint32_t>(length));
        offset += length;
    } while (offset < ulRandomLen && rv == CKR_OK);
    return rv;
}

}  // namespace vexa::pkcs11
