#include "AttributeCodec.h"
#include "CallShapes.h"
#include "FieldCallbacks.h"

namespace vexa::pkcs11 {

using namespace corvel;

namespace {

CK_ULONG widenSize(uint32_t size) { return size == 0xFFFFFFFFu ? CK_UNAVAILABLE_INFORMATION : size; }

void setObject(RpcRequest& request, CK_OBJECT_HANDLE hObject)
{
    request.has_handle = true;
    request.handle = low32(hObject);
}

// The result, with the handle the token gave the new object when it gave one.
auto takeHandle(CK_OBJECT_HANDLE_PTR out)
{
    return [out](TokenCall& call) {
        if (call.response.has_handle) {
            *out = call.response.handle;
        }
        return call.response.rv;
    };
}

}  // namespace

CK_RV CContext::C_CreateObject(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount,
                               CK_OBJECT_HANDLE_PTR phObject)
{
    AttributeTemplate attributes{pTemplate, ulCount};
    const auto checks = [&] {
        const bool bad =
            pTemplate == nullptr || ulCount == 0 || phObject == nullptr || !templateFits(pTemplate, ulCount);
        return bad ? CKR_ARGUMENTS_BAD : CKR_OK;
    };
    return sessionCall(
        *this, "C_CreateObject", hSession, fn::CreateObject, checks,
        [&](TokenCall& call) { setTemplate(call.request.template_, attributes); }, takeHandle(phObject));
}

CK_RV CContext::C_CopyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                             CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phNewObject)
{
    AttributeTemplate attributes{pTemplate, ulCount};
    const auto checks = [&] {
        const bool bad = pTemplate == nullptr || phNewObject == nullptr || !templateFits(pTemplate, ulCount);
        return bad ? CKR_ARGUMENTS_BAD : CKR_OK;
    };
    const auto fill = [&](TokenCall& call) {
        setObject(call.request, hObject);
        setTemplate(call.request.template_, attributes);
    };
    const CK_RV rv =
        sessionCall(*this, "C_CopyObject", hSession, fn::CopyObject, checks, fill, takeHandle(phNewObject));
    if (rv == CKR_FUNCTION_FAILED) {
        m_log.logText(kLogError, "copy obj failed");
    }
    return rv;
}

CK_RV CContext::C_DestroyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject)
{
    return sessionCall(*this, "C_DestroyObject", hSession, fn::DestroyObject, kNoChecks,
                       [&](TokenCall& call) { setObject(call.request, hObject); });
}

// The size is reported whatever the token answers: 0 when it sent none.
CK_RV CContext::C_GetObjectSize(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ULONG_PTR pulSize)
{
    return sessionCall(
        *this, "C_GetObjectSize", hSession, fn::GetObjectSize,
        [&] { return pulSize == nullptr ? CKR_ARGUMENTS_BAD : CKR_OK; },
        [&](TokenCall& call) { setObject(call.request, hObject); },
        [&](TokenCall& call) {
            *pulSize = call.response.has_outputLength ? widenSize(call.response.outputLength) : 0;
            return call.response.rv;
        });
}

CK_RV CContext::C_SetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                                    CK_ULONG ulCount)
{
    AttributeTemplate attributes{pTemplate, ulCount};
    const auto checks = [&] {
        const bool bad = pTemplate == nullptr || ulCount == 0 || !templateFits(pTemplate, ulCount);
        return bad ? CKR_ARGUMENTS_BAD : CKR_OK;
    };
    return sessionCall(*this, "C_SetAttributeValue", hSession, fn::SetAttributeValue, checks, [&](TokenCall& call) {
        setObject(call.request, hObject);
        setTemplate(call.request.template_, attributes);
    });
}

}  // namespace vexa::pkcs11
