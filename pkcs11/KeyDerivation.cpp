#include "AttributeCodec.h"
#include "CryptoSteps.h"
#include "MechanismCarriage.h"

namespace vexa::pkcs11 {

// A parameter length without a parameter is refused, as the init functions
// refuse it, before the parameter block is looked into.
CK_RV CContext::C_DeriveKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hBaseKey,
                            CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR phKey)
{
    CStructuredMechanism carried;
    AttributeTemplate keyTemplate{pTemplate, ulAttributeCount};
    const auto checks = [&] {
        if (pMechanism == nullptr || hBaseKey == 0 || (pTemplate == nullptr && ulAttributeCount != 0) ||
            phKey == nullptr || claimsMissingParameter(*pMechanism) || !templateFits(pTemplate, ulAttributeCount)) {
            return CKR_ARGUMENTS_BAD;
        }
        return carried.prepare(*pMechanism, m_log);
    };
    const auto fill = [&](TokenCall& call) {
        call.request.has_mechanism = true;
        carried.writeTo(call.request.mechanism);
        call.request.has_handle = true;
        call.request.handle = low32(hBaseKey);
        setTemplate(call.request.template_, keyTemplate);
    };
    return sessionCall(*this, "C_DeriveKey", hSession, fn::DeriveKey, checks, fill, [&](TokenCall& call) {
        if (call.response.has_handle) {
            *phKey = call.response.handle;
        }
        return call.response.rv;
    });
}

}  // namespace vexa::pkcs11
