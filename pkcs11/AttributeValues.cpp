#include <cstddef>
#include <cstring>

#include "AttributeCodec.h"
#include "CallShapes.h"
#include "FieldCallbacks.h"

namespace vexa::pkcs11 {

using namespace corvel;

namespace {

bool isNumeric(CK_ATTRIBUTE_TYPE type) { return wire::attributeKind(type) == AttributeKind::Numeric; }

// What the token sent cannot be the attribute it names: a number without its
// number, or fewer value bytes than the length it claims.
const char* malformation(const CK_ATTRIBUTE& element, const ReceivedAttribute& entry)
{
    if (isNumeric(element.type) && entry.form != AttributeKind::Numeric) {
        return "came without its number";
    }
    if (entry.length > entry.available()) {
        return "came with fewer bytes than its length";
    }
    return nullptr;
}

// Array attributes hold CK_ATTRIBUTE records. The addresses inside the
// received records belong to the token's side and are never followed: each
// of the caller's records gets the type and, where it asks only for the
// size (a null pValue), the length; a record that wants its value is told
// the value is unavailable, and its pValue is left alone.
void copyArrayRecords(CK_ATTRIBUTE& element, const ReceivedAttribute& entry)
{
    const size_t records = entry.length / sizeof(CK_ATTRIBUTE);
    auto* out = static_cast<uint8_t*>(element.pValue);
    for (size_t i = 0; i < records; ++i) {
        const uint8_t* in = entry.bytes() + i * sizeof(CK_ATTRIBUTE);
        uint8_t* record = out + i * sizeof(CK_ATTRIBUTE);
        CK_ATTRIBUTE_TYPE type;
        CK_ULONG length;
        CK_VOID_PTR wanted;
        std::memcpy(&type, in + offsetof(CK_ATTRIBUTE, type), sizeof type);
        std::memcpy(&length, in + offsetof(CK_ATTRIBUTE, ulValueLen), sizeof length);
        std::memcpy(&wanted, record + offsetof(CK_ATTRIBUTE, pValue), sizeof wanted);
        if (wanted != nullptr) {
            length = CK_UNAVAILABLE_INFORMATION;
        }
        std::memcpy(record + offsetof(CK_ATTRIBUTE, type), &type, sizeof type);
        std::memcpy(record + offsetof(CK_ATTRIBUTE, ulValueLen), &length, sizeof length);
    }
    element.ulValueLen = records * sizeof(CK_ATTRIBUTE);
}

// Copies one received attribute into the caller's element; returns
// CKR_BUFFER_TOO_SMALL when the caller's buffer cannot hold it, or
// CKR_FUNCTION_FAILED when the token's attribute is malformed, else CKR_OK.
CK_RV fillElement(CContext& context, CK_ATTRIBUTE& element, const ReceivedAttribute& entry)
{
    const uint32_t length = entry.length;
    if (length == wire::kUnavailable) {
        const bool tooSmall = element.pValue != nullptr && element.ulValueLen < length;
        element.ulValueLen = CK_UNAVAILABLE_INFORMATION;
        return tooSmall ? CKR_BUFFER_TOO_SMALL : CKR_OK;
    }
    if (const char* fault = malformation(element, entry)) {
        context.log().logFormat(kLogError, "Attribute 0x%lx %s", element.type, fault);
        element.ulValueLen = CK_UNAVAILABLE_INFORMATION;
        return CKR_FUNCTION_FAILED;
    }
    const CK_ULONG size = isNumeric(element.type) ? sizeof(CK_ULONG) : length;
    if (element.pValue == nullptr) {
        element.ulValueLen = size;
        return CKR_OK;
    }
    if (element.ulValueLen < length || element.ulValueLen < size) {
        element.ulValueLen = CK_UNAVAILABLE_INFORMATION;
        return CKR_BUFFER_TOO_SMALL;
    }
    if (isNumeric(element.type)) {
        const CK_ULONG value = entry.number == 0xFFFFFFFFu ? CK_UNAVAILABLE_INFORMATION : entry.number;
        std::memcpy(element.pValue, &value, sizeof value);
    } else if (isArrayAttribute(element.type)) {
        copyArrayRecords(element, entry);
        return CKR_OK;
    } else if (length != 0) {
        std::memcpy(element.pValue, entry.bytes(), length);
    }
    element.ulValueLen = size;
    return CKR_OK;
}

}  // namespace

// Elements whose type the token did not return stay as the caller had them.
// The first problem with an element replaces a CKR_OK from the token.
CK_RV CContext::C_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                                    CK_ULONG ulCount)
{
    AttributeTemplate types{pTemplate, ulCount};
    ReceivedAttributes received;
    const auto checks = [&] { return pTemplate == nullptr || ulCount == 0 ? CKR_ARGUMENTS_BAD : CKR_OK; };
    const auto fill = [&](TokenCall& call) {
        call.request.has_handle = true;
        call.request.handle = low32(hObject);
        setTypeOnlyTemplate(call.request.template_, types);
        setAttributeReader(call.response.attributes, received);
    };
    return sessionCall(*this, "C_GetAttributeValue", hSession, fn::GetAttributeValue, checks, fill,
                       [&](TokenCall& call) {
                           CK_RV result = call.response.rv;
                           for (CK_ULONG i = 0; i < ulCount; ++i) {
                               const ReceivedAttribute* entry = received.find(pTemplate[i].type);
                               if (entry == nullptr) {
                                   continue;
                               }
                               const CK_RV filled = fillElement(*this, pTemplate[i], *entry);
                               if (filled != CKR_OK && result == CKR_OK) {
                                   result = filled;
                               }
                           }
                           return result;
                       });
}

}  // namespace vexa::pkcs11
