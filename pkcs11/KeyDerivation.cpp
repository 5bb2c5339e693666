#include <mutex>

#include "AttributeCodec.h"
#include "CryptoSteps.h"
#include "MechanismCarriage.h"

namespace vexa::pkcs11 {

// A parameter length without a parameter is refused, as the init functions
// refuse it, before the parameter block is looked into.
CK_RV CContext::C_DeriveKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hBaseKey,
                            CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR phKey)
{
    logText(corvel::kLogTrace, "C_DeriveKey");
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (pMechanism == nullptr || hBaseKey == 0 || (pTemplate == nullptr && ulAttributeCount != 0) || phKey == nullptr ||
        claimsMissingParameter(*pMechanism) || !templateFits(pTemplate, ulAttributeCount)) {
        return CKR_ARGUMENTS_BAD;
    }
    CStructuredMechanism carried;
    if (const CK_RV checked = carried.prepare(*pMechanism, *this); checked != CKR_OK) {
        return checked;
    }
    std::lock_guard<std::mutex> lock(libraryMutex());
    RpcRequest request;
    if (const CK_RV opened = openRequest_inlock(*this, hSession, kFnDeriveKey, request); opened != CKR_OK) {
        return opened;
    }
    request.has_mechanism = true;
    carried.writeTo(request.mechanism);
    request.has_handle = true;
    request.handle = low32(hBaseKey);
    AttributeTemplate keyTemplate{pTemplate, ulAttributeCount};
    setTemplate(request.template_, keyTemplate);
    RpcResponse response = RpcResponse_init_zero;
    callToken(request, response, true);
    if (response.has_handle) {
        *phKey = response.handle;
    }
    return response.rv;
}

}  // namespace vexa::pkcs11
