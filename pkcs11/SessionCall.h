#pragma once
#include <p11-kit/pkcs11.h>

#include "CContext.h"

namespace vexa::pkcs11 {

// One exchange on a session, library lock held: binds the handle (the
// token's session number goes into request, its slot becomes current) and
// exchanges. CKR_SESSION_HANDLE_INVALID without an exchange for a handle the
// library does not hold, request.has_session then staying false; otherwise
// the response's rv.
CK_RV callOnSession_inlock(CContext& context, CK_SESSION_HANDLE hSession, RpcRequest& request, RpcResponse& response,
                           bool clearResponse = true);

}  // namespace vexa::pkcs11
