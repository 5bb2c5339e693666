#include "AttributeCodec.h"
#include "CallShapes.h"
#include "FieldCallbacks.h"

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
    AttributeTemplate attributes{pTemplate, ulCount};
    return sessionCall(
        *this, "C_FindObjectsInit", hSession, fn::FindObjectsInit,
        [&] { return templateFits(pTemplate, ulCount) ? CKR_OK : CKR_ARGUMENTS_BAD; },
        [&](TokenCall& call) {
            if (pTemplate != nullptr) {
                setTemplate(call.request.template_, attributes);
            }
        });
}

// The count is reported whatever the token answers. A reply with more
// handles than asked for is a faulty token: none of them is handed out.
CK_RV CContext::C_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject, CK_ULONG ulMaxObjectCount,
                              CK_ULONG_PTR pulObjectCount)
{
    GrowingOutput found;
    const auto checks = [&] {
        const bool bad = phObject == nullptr || ulMaxObjectCount == 0 || pulObjectCount == nullptr;
        return bad ? CKR_ARGUMENTS_BAD : CKR_OK;
    };
    const auto fill = [&](TokenCall& call) {
        call.request.has_outputLength = true;
        call.request.outputLength = capacity32(ulMaxObjectCount);
        setGrowingOutput(call.response.output, found);
    };
    return sessionCall(*this, "C_FindObjects", hSession, fn::FindObjects, checks, fill, [&](TokenCall& call) {
        const size_t count = found.bytes.size() / kWireHandleSize;
        if (count > ulMaxObjectCount) {
            m_log.logFormat(kLogError, "Token found %zu objects, asked for at most %lu", count, ulMaxObjectCount);
            *pulObjectCount = 0;
            return CKR_FUNCTION_FAILED;
        }
        for (size_t i = 0; i < count; ++i) {
            phObject[i] = wireHandle(&found.bytes[i * kWireHandleSize]);
        }
        *pulObjectCount = count;
        return CK_RV{call.response.rv};
    });
}

CK_RV CContext::C_FindObjectsFinal(CK_SESSION_HANDLE hSession)
{
    return sessionCall(*this, "C_FindObjectsFinal", hSession, fn::FindObjectsFinal);
}

}  // namespace vexa::pkcs11
