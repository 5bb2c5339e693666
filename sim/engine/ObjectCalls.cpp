// Objects, their attributes and searches.
#include <algorithm>
#include <cstddef>

#include "Calls.h"
#include "KeyTemplates.h"
#include "Limits.h"
#include "Output.h"
#include "wire/Functions.h"

namespace vexa::sim::engine {
namespace {

// Room for the attributes of one reply, next to rv.
constexpr size_t kAttributeBudget = kMaxReply - 16;

// An upper bound of the encoded size of one attribute in the reply.
size_t wireSize(const WireAttribute& a)
{
    size_t n = 3 + 6;  // field tag, length, type
    if (a.valueLength) {
        n += 6;
    }
    if (a.value) {
        n += 4 + a.value->size();
    }
    if (a.number) {
        n += 6;
    }
    if (a.flag) {
        n += 2;
    }
    n += 6 * a.mechanisms.size();
    for (const WireAttribute& member : a.members) {
        n += wireSize(member);
    }
    return n;
}

CK_RV createObject(CToken& token, const Request& req, Response& resp)
{
    Args a;
    if (CK_RV rv = a.take(token, req, CWants().templ()); rv != CKR_OK) {
        return rv;
    }
    if (CK_RV rv = checkNewKey(a.templ.data(), a.templ.count()); rv != CKR_OK) {
        return rv;
    }
    CK_OBJECT_HANDLE object = 0;
    CK_RV rv = token.p11().C_CreateObject(a.session, attributes(a.templ), a.templ.count(), &object);
    if (rv == CKR_OK) {
        token.adopt(object, a.session);
        resp.handle = static_cast<uint32_t>(object);
    }
    return rv;
}

CK_RV copyObject(CToken& token, const Request& req, Response& resp)
{
    Args a;
    if (CK_RV rv = a.take(token, req, CWants().object(CKR_OBJECT_HANDLE_INVALID).templ()); rv != CKR_OK) {
        return rv;
    }
    CK_OBJECT_HANDLE copy = 0;
    CK_RV rv = token.p11().C_CopyObject(a.session, a.object, attributes(a.templ), a.templ.count(), &copy);
    if (rv == CKR_OK) {
        token.adopt(copy, a.session);
        resp.handle = static_cast<uint32_t>(copy);
    }
    return rv;
}

CK_RV destroyObject(CToken& token, const Request& req, Response&)
{
    Args a;
    if (CK_RV rv = a.take(token, req, CWants().object(CKR_OBJECT_HANDLE_INVALID)); rv != CKR_OK) {
        return rv;
    }
    CK_RV rv = token.p11().C_DestroyObject(a.session, a.object);
    if (rv == CKR_OK) {
        token.forget(a.object);
    }
    return rv;
}

CK_RV objectSize(CToken& token, const Request& req, Response& resp)
{
    Args a;
    if (CK_RV rv = a.take(token, req, CWants().object(CKR_OBJECT_HANDLE_INVALID)); rv != CKR_OK) {
        return rv;
    }
    CK_ULONG size = 0;
    CK_RV rv = token.p11().C_GetObjectSize(a.session, a.object, &size);
    if (rv == CKR_OK) {
        resp.outputLength = wire32(size);
    }
    return rv;
}

// A template's members, read as PKCS#11 has it: the records with their
// types and lengths first, then the values into buffers of those lengths.
// The records' addresses are this process's; only the members travel.
CK_RV readMembers(CToken& token, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, CK_ULONG length,
                  WireAttribute& out)
{
    const size_t count = length / sizeof(CK_ATTRIBUTE);
    if (length % sizeof(CK_ATTRIBUTE) != 0 || count > wire::kMaxArrayEntries) {
        return CKR_DEVICE_ERROR;
    }
    std::vector<CK_ATTRIBUTE> records(count, CK_ATTRIBUTE{0, nullptr, 0});
    CK_ATTRIBUTE a{type, records.empty() ? nullptr : records.data(), length};
    std::vector<Bytes> values(count);
    if (count != 0) {
        if (CK_RV rv = token.p11().C_GetAttributeValue(s, object, &a, 1); rv != CKR_OK) {
            return rv;
        }
        for (size_t i = 0; i < count; ++i) {
            if (records[i].ulValueLen != CK_UNAVAILABLE_INFORMATION && records[i].ulValueLen != 0) {
                values[i].assign(records[i].ulValueLen, 0);
                records[i].pValue = values[i].data();
            }
        }
        if (CK_RV rv = token.p11().C_GetAttributeValue(s, object, &a, 1); rv != CKR_OK) {
            return rv;
        }
    }
    std::vector<WireAttribute> members;
    for (size_t i = 0; i < count; ++i) {
        const bool unreadable = records[i].ulValueLen == CK_UNAVAILABLE_INFORMATION ||
                                wire::isArrayKind(wire::attributeKind(records[i].type));
        members.push_back(unreadable ? unavailable(records[i].type) : toWire(records[i].type, values[i]));
    }
    out = wire::templateAttribute(static_cast<uint32_t>(type), std::move(members));
    return CKR_OK;
}

// One attribute's value; CKR_OK with `out` unavailable when the object does
// not reveal it, the error being left in `refusal`.
CK_RV readAttribute(CToken& token, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type,
                    WireAttribute& out, CK_RV& refusal)
{
    CK_ATTRIBUTE a{type, nullptr, 0};
    CK_RV rv = token.p11().C_GetAttributeValue(s, object, &a, 1);
    const bool members = wire::attributeKind(type) == wire::AttributeKind::Template;
    if (members && rv == CKR_OK && a.ulValueLen != CK_UNAVAILABLE_INFORMATION) {
        rv = readMembers(token, s, object, type, a.ulValueLen, out);
        if (rv == CKR_OK) {
            return CKR_OK;
        }
    }
    Bytes value;
    if (!members && rv == CKR_OK && a.ulValueLen != CK_UNAVAILABLE_INFORMATION) {
        value.assign(a.ulValueLen, 0);
        a.pValue = value.data();
        rv = token.p11().C_GetAttributeValue(s, object, &a, 1);
        value.resize(std::min<CK_ULONG>(a.ulValueLen, value.size()));
    }
    if (rv == CKR_ATTRIBUTE_SENSITIVE || rv == CKR_ATTRIBUTE_TYPE_INVALID) {
        if (refusal == CKR_OK) {
            refusal = rv;
        }
        out = unavailable(type);
        return CKR_OK;
    }
    if (rv != CKR_OK) {
        return rv;
    }
    if (a.ulValueLen == CK_UNAVAILABLE_INFORMATION) {
        out = unavailable(type);
        return CKR_OK;
    }
    out = toWire(type, value);
    return CKR_OK;
}

CK_RV getAttributes(CToken& token, const Request& req, Response& resp)
{
    Args a;
    if (CK_RV rv = a.take(token, req, CWants().object(CKR_OBJECT_HANDLE_INVALID)); rv != CKR_OK) {
        return rv;
    }
    CK_RV refusal = CKR_OK;
    size_t used = 0;
    for (const WireAttribute& wanted : req.templ) {
        WireAttribute got;
        if (CK_RV rv = readAttribute(token, a.session, a.object, wanted.type, got, refusal); rv != CKR_OK) {
            return rv;
        }
        // What does not fit into one reply is left out and the call refused;
        // the attributes before it still reach the caller.
        if (used + wireSize(got) > kAttributeBudget) {
            return CKR_DATA_LEN_RANGE;
        }
        used += wireSize(got);
        resp.attributes.push_back(std::move(got));
    }
    return refusal;
}

CK_RV setAttributes(CToken& token, const Request& req, Response&)
{
    Args a;
    if (CK_RV rv = a.take(token, req, CWants().object(CKR_OBJECT_HANDLE_INVALID).templ()); rv != CKR_OK) {
        return rv;
    }
    return token.p11().C_SetAttributeValue(a.session, a.object, attributes(a.templ), a.templ.count());
}

CK_RV findInit(CToken& token, const Request& req, Response&)
{
    Args a;
    if (CK_RV rv = a.take(token, req, CWants().templ()); rv != CKR_OK) {
        return rv;
    }
    return token.p11().C_FindObjectsInit(a.session, attributes(a.templ), a.templ.count());
}

CK_RV find(CToken& token, const Request& req, Response& resp)
{
    CK_SESSION_HANDLE s;
    if (CK_RV rv = token.session(req, s); rv != CKR_OK) {
        return rv;
    }
    const uint32_t max = std::min(req.outputLength.value_or(0), kMaxFoundHandles);
    std::vector<CK_OBJECT_HANDLE> found(std::max<uint32_t>(max, 1));
    CK_ULONG count = 0;
    CK_RV rv = token.p11().C_FindObjects(s, found.data(), max, &count);
    if (rv != CKR_OK) {
        return rv;
    }
    Bytes out;
    for (CK_ULONG i = 0; i < std::min<CK_ULONG>(count, max); ++i) {
        token.adopt(found[i], s);
        for (int b = 0; b < 4; ++b) {
            out.push_back(static_cast<uint8_t>(found[i] >> (8 * b)));
        }
    }
    resp.output = std::move(out);
    return CKR_OK;
}

CK_RV findFinal(CToken& token, const Request& req, Response&)
{
    CK_SESSION_HANDLE s;
    if (CK_RV rv = token.session(req, s); rv != CKR_OK) {
        return rv;
    }
    return token.p11().C_FindObjectsFinal(s);
}

}  // namespace

void addObjectCalls(CallTable& t)
{
    t[fn::CreateObject] = createObject;
    t[fn::CopyObject] = copyObject;
    t[fn::DestroyObject] = destroyObject;
    t[fn::GetObjectSize] = objectSize;
    t[fn::GetAttributeValue] = getAttributes;
    t[fn::SetAttributeValue] = setAttributes;
    t[fn::FindObjectsInit] = findInit;
    t[fn::FindObjects] = find;
    t[fn::FindObjectsFinal] = findFinal;
}

}  // namespace vexa::sim::engine
