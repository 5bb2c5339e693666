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
    if (isArrayAttribute(element.type) && !wire::isArrayKind(entry.form)) {
        return "came without its entries";
    }
    if (entry.length > entry.available()) {
        return "came with fewer bytes than its length";
    }
    if (wire::isArrayKind(entry.form) && entry.length != entry.entries()) {
        return "came with more entries than its length";
    }
    return nullptr;
}

CK_RV fillElement(CContext& context, CK_ATTRIBUTE& element, const ReceivedAttribute& entry);

// A template's members go into the caller's records: each gets its type and
// is filled as an attribute of its own (its length, or its value where the
// record has a buffer). Addresses come only from the caller's records.
CK_RV fillMembers(CContext& context, CK_ATTRIBUTE& element, const ReceivedAttribute& entry)
{
    CK_RV result = CKR_OK;
    auto* records = static_cast<uint8_t*>(element.pValue);
    for (size_t i = 0; i < entry.members.size(); ++i) {
        uint8_t* at = records + i * sizeof(CK_ATTRIBUTE);
        CK_ATTRIBUTE record;
        std::memcpy(&record, at, sizeof record);
        record.type = entry.members[i].type;
        const CK_RV filled = fillElement(context, record, entry.members[i]);
        std::memcpy(at, &record, sizeof record);
        if (filled != CKR_OK && result == CKR_OK) {
            result = filled;
        }
    }
    return result;
}

void fillMechanisms(CK_ATTRIBUTE& element, const ReceivedAttribute& entry)
{
    auto* out = static_cast<uint8_t*>(element.pValue);
    for (size_t i = 0; i < entry.mechanisms.size(); ++i) {
        const CK_MECHANISM_TYPE type = entry.mechanisms[i];
        std::memcpy(out + i * sizeof type, &type, sizeof type);
    }
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
    const bool array = wire::isArrayKind(entry.form);
    const CK_ULONG size = isNumeric(element.type) ? sizeof(CK_ULONG)
                          : array                 ? length * wire::arrayEntrySize(entry.form)
                                                  : length;
    if (element.pValue == nullptr) {
        element.ulValueLen = size;
        return CKR_OK;
    }
    if ((!array && element.ulValueLen < length) || element.ulValueLen < size) {
        element.ulValueLen = CK_UNAVAILABLE_INFORMATION;
        return CKR_BUFFER_TOO_SMALL;
    }
    if (isNumeric(element.type)) {
        const CK_ULONG value = entry.number == 0xFFFFFFFFu ? CK_UNAVAILABLE_INFORMATION : entry.number;
        std::memcpy(element.pValue, &value, sizeof value);
    } else if (entry.form == AttributeKind::MechanismList) {
        fillMechanisms(element, entry);
    } else if (entry.form == AttributeKind::Template) {
        element.ulValueLen = size;
        return fillMembers(context, element, entry);
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
    CReceivedAttributes received;
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
