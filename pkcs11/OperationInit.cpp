#include "CryptoSteps.h"
#include "MechanismCarriage.h"

namespace vexa::pkcs11 {

void setOperation(RpcRequest& request, const RpcMechanism& mechanism, std::optional<CK_OBJECT_HANDLE> key)
{
    request.has_mechanism = true;
    request.mechanism = mechanism;
    if (key) {
        request.has_handle = true;
        request.handle = low32(*key);
    }
}

CK_RV startSignVerifyOperation(CContext& context, const char* name, CK_SESSION_HANDLE hSession, FunctionId function,
                               CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE key)
{
    CStructuredMechanism carried;
    const auto checks = [&] {
        if (pMechanism == nullptr || unfitParameter(*pMechanism)) {
            return CKR_ARGUMENTS_BAD;
        }
        if (context.log().isLevelEnabled(corvel::kLogTrace)) {
            context.log().logFormat(corvel::kLogTrace, "Mechanism: 0x%08lx Paramlen: %lx", pMechanism->mechanism,
                                    pMechanism->ulParameterLen);
        }
        return carried.carry(*pMechanism, PlainWay::WithLength);
    };
    const auto fill = [&](TokenCall& call) {
        RpcMechanism fields = RpcMechanism_init_zero;
        carried.writeTo(fields);
        setOperation(call.request, fields, key);
    };
    return sessionCall(context, name, hSession, function, checks, fill, [&](TokenCall& call) {
        if (call.response.rv != CKR_OK) {
            context.log().logFormat(corvel::kLogInfo, "SignVerifyInit returned 0x%lx",
                                    static_cast<CK_RV>(call.response.rv));
        } else {
            context.sessions().setMechanism(hSession, familyOf(function)->family, pMechanism->mechanism);
        }
        return call.response.rv;
    });
}

CK_RV startCipherOperation(CContext& context, const char* name, CK_SESSION_HANDLE hSession, FunctionId function,
                           CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE key, const std::function<bool()>& argumentsBad)
{
    CStructuredMechanism carried;
    const auto checks = [&] {
        return argumentsBad() ? CKR_ARGUMENTS_BAD : carried.prepare(*pMechanism, context.log());
    };
    const auto fill = [&](TokenCall& call) {
        RpcMechanism fields = RpcMechanism_init_zero;
        carried.writeTo(fields);
        setOperation(call.request, fields, key);
    };
    return sessionCall(context, name, hSession, function, checks, fill, [&](TokenCall& call) {
        if (call.response.rv == CKR_OK) {
            context.sessions().setMechanism(hSession, familyOf(function)->family, pMechanism->mechanism);
        }
        return CK_RV{call.response.rv};
    });
}

}  // namespace vexa::pkcs11
