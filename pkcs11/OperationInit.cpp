#include "CryptoSteps.h"

#include <mutex>

#include "MechanismCarriage.h"

namespace vexa::pkcs11 {

CK_RV sendInit_inlock(CContext& context, CK_SESSION_HANDLE hSession, FunctionId function,
                      const RpcMechanism& mechanism, std::optional<CK_OBJECT_HANDLE> key)
{
    RpcRequest request = RpcRequest_init_zero;
    request.function = function;
    if (const CK_RV bound = context.bindSession(hSession, request); bound != CKR_OK) {
        return bound;
    }
    request.has_mechanism = true;
    request.mechanism = mechanism;
    if (key) {
        request.has_handle = true;
        request.handle = low32(*key);
    }
    RpcResponse response = RpcResponse_init_zero;
    context.callToken(request, response, true);
    return response.rv;
}

CK_RV startStructuredOperation(CContext& context, CK_SESSION_HANDLE hSession, FunctionId function,
                               const CK_MECHANISM& mechanism, CK_OBJECT_HANDLE key)
{
    CStructuredMechanism carried;
    if (const CK_RV checked = carried.prepare(mechanism, context); checked != CKR_OK) {
        return checked;
    }
    RpcMechanism fields = RpcMechanism_init_zero;
    carried.writeTo(fields);
    std::lock_guard<std::mutex> lock(CContext::libraryMutex());
    return sendInit_inlock(context, hSession, function, fields, key);
}

CK_RV startSignVerifyOperation(CContext& context, CK_SESSION_HANDLE hSession, FunctionId function,
                               const CK_MECHANISM& mechanism, CK_OBJECT_HANDLE key)
{
    if (context.isLevelEnabled(corvel::kLogTrace)) {
        context.logFormat(corvel::kLogTrace, "Mechanism: 0x%08lx Paramlen: %lx", mechanism.mechanism,
                          mechanism.ulParameterLen);
    }
    RpcMechanism fields = RpcMechanism_init_zero;
    carryPlainWithLength(fields, mechanism);
    CK_RV rv = CKR_OK;
    {
        std::lock_guard<std::mutex> lock(CContext::libraryMutex());
        rv = sendInit_inlock(context, hSession, function, fields, key);
    }
    if (rv != CKR_OK) {
        context.logFormat(corvel::kLogInfo, "SignVerifyInit returned 0x%lx", rv);
    }
    return rv;
}

}  // namespace vexa::pkcs11
