#include <mutex>

#include "AttributeCodec.h"
#include "CContext.h"
#include "FieldCallbacks.h"
#include "RpcFunctionIds.h"
#include "SessionCall.h"

namespace vexa::pkcs11 {

using namespace corvel;

namespace {

// Each found handle arrives as a 32-bit little-endian word.
constexpr size_t kWireHandleSize = 4;

CK_OBJECT_HANDLE wireHandle(const uint8_t* bytes)
{
    return static_cast<CK_OBJECT_HANDLE>(bytes[0]) | static_cast<CK_OBJECT_HANDLE>(bytes[1]) << 8 |
           static_cast<CK_OBJECT_HANDLE>(bytes[2]) << 16 | static_cast<CK_OBJECT_HANDLE>(bytes[3]) << 24;
}

}  // namespace

// The search itself is the token's; the library keeps no cursor. A null
// template sends none and so matches every object.
CK_RV CContext::C_FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount)
{
    logText(kLogTrace, "C_FindObjectsInit");
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (!templateFits(pTemplate, ulCount)) {
        return CKR_ARGUMENTS_BAD;
    }
    std::lock_guard<std::mutex> lock(libraryMutex());
    RpcRequest request = RpcRequest_init_zero;
    request.function = kFnFindObjectsInit;
    AttributeTemplate attributes{pTemplate, ulCount};
    if (pTemplate != nullptr) {
        setTemplate(request.template_, attributes);
    }
    RpcResponse response = RpcResponse_init_zero;
    return callOnSession_inlock(*this, hSession, request, response);
}

// The count is reported whatever the token answers. A reply with more
// handles than asked for is a faulty token: none of them is handed out.
CK_RV CContext::C_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject, CK_ULONG ulMaxObjectCount,
                              CK_ULONG_PTR pulObjectCount)
{
    logText(kLogTrace, "C_FindObjects");
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (phObject == nullptr || ulMaxObjectCount == 0 || pulObjectCount == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    std::lock_guard<std::mutex> lock(libraryMutex());
    RpcRequest request = RpcRequest_init_zero;
    request.function = kFnFindObjects;
    request.has_outputLength = true;
    request.outputLength = capacity32(ulMaxObjectCount);
    RpcResponse response = RpcResponse_init_zero;
    GrowingOutput found;
    setGrowingOutput(response.output, found);
    const CK_RV rv = callOnSession_inlock(*this, hSession, request, response, false);
    if (!request.has_session) {
        return rv;
    }
    const size_t count = found.bytes.size() / kWireHandleSize;
    if (count > ulMaxObjectCount) {
        logFormat(kLogError, "Token found %zu objects, asked for at most %lu", count, ulMaxObjectCount);
        *pulObjectCount = 0;
        return CKR_FUNCTION_FAILED;
    }
    for (size_t i = 0; i < count; ++i) {
        phObject[i] = wireHandle(&found.bytes[i * kWireHandleSize]);
    }
    *pulObjectCount = count;
    return rv;
}

CK_RV CContext::C_FindObjectsFinal(CK_SESSION_HANDLE hSession)
{
    logText(kLogTrace, "C_FindObjectsFinal");
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    std::lock_guard<std::mutex> lock(libraryMutex());
    RpcRequest request = RpcRequest_init_zero;
    request.function = kFnFindObjectsFinal;
    RpcResponse response = RpcResponse_init_zero;
    return callOnSession_inlock(*this, hSession, request, response);
}

}  // namespace vexa::pkcs11
