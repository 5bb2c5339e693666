#include "SessionCall.h"

namespace vexa::pkcs11 {

CK_RV callOnSession_inlock(CContext& context, CK_SESSION_HANDLE hSession, RpcRequest& request, RpcResponse& response,
                           bool clearResponse)
{
    const CK_RV bound = context.bindSession(hSession, request);
    if (bound != CKR_OK) {
        return bound;
    }
    context.callToken(request, response, clearResponse);
    return response.rv;
}

}  // namespace vexa::pkcs11
