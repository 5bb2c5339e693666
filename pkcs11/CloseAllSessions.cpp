#include <mutex>

#include "CContext.h"
#include "RpcFunctionIds.h"

namespace vexa::pkcs11 {

// The token closes every session of the slot; the session table keeps their
// handles, and a later call with one gets the token's own answer.
CK_RV CContext::C_CloseAllSessions(CK_SLOT_ID slotID)
{
    logText(corvel::kLogTrace, "C_CloseAllSessions");
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    std::lock_guard<std::mutex> lock(libraryMutex());
    const CK_RV selected = selectSlot(slotID);
    if (selected != CKR_OK) {
        return selected;
    }
    RpcRequest request = RpcRequest_init_zero;
    request.function = kFnCloseAllSessions;
    RpcResponse response = RpcResponse_init_zero;
    callToken(request, response, true);
    return response.rv;
}

}  // namespace vexa::pkcs11
