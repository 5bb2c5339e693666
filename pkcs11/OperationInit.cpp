#include <mutex>

#include "CryptoSteps.h"
#include "MechanismCarriage.h"

namespace vexa::pkcs11 {

CK_RV sendInit_inlock(CContext& context, CK_SESSION_HANDLE hSession, FunctionId function, const RpcMechanism& mechanism,
                      std::optional<CK_OBJECT_HANDLE> key)
{
    RpcRequest request;
    if (const CK_RV opened = openRequest_inlock(context, hSession, function, request); opened != CKR_OK) {
        return opened;
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
                               CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE key)
{
    if (pMechanism == nullptr || unfitParameter(*pMechanism)) {
        return CKR_ARGUMENTS_BAD;
    }
    if (context.isLevelEnabled(corvel::kLogTrace)) {
        context.logFormat(corvel::kLogTrace, "Mechanism: 0x%08lx Paramlen: %lx", pMechanism->mechanism,
                          pMechanism->ulParameterLen);
    }
    RpcMechanism fields = RpcMechanism_init_zero;
    carryPlainWithLength(fields, *pMechanism);
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
