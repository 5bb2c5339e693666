#include "KeyTemplates.h"

#include <algorithm>
#include <initializer_list>
#include <iterator>

namespace vexa::sim::engine {
namespace {

using Parts = std::initializer_list<CK_ATTRIBUTE_TYPE>;

struct KeyParts {
    CK_OBJECT_CLASS cls;
    CK_KEY_TYPE type;
    Parts parts;
};

// The numbers each key is computed with.
const KeyParts kKeyParts[] = {
    {CKO_PUBLIC_KEY, CKK_RSA, {CKA_MODULUS, CKA_PUBLIC_EXPONENT}},
    {CKO_PRIVATE_KEY, CKK_RSA, {CKA_MODULUS, CKA_PUBLIC_EXPONENT, CKA_PRIVATE_EXPONENT}},
    {CKO_PUBLIC_KEY, CKK_DSA, {CKA_PRIME, CKA_SUBPRIME, CKA_BASE, CKA_VALUE}},
    {CKO_PRIVATE_KEY, CKK_DSA, {CKA_PRIME, CKA_SUBPRIME, CKA_BASE, CKA_VALUE}},
    {CKO_PUBLIC_KEY, CKK_DH, {CKA_PRIME, CKA_BASE, CKA_VALUE}},
    {CKO_PRIVATE_KEY, CKK_DH, {CKA_PRIME, CKA_BASE, CKA_VALUE}},
    {CKO_PUBLIC_KEY, CKK_EC, {CKA_EC_PARAMS, CKA_EC_POINT}},
    {CKO_PRIVATE_KEY, CKK_EC, {CKA_EC_PARAMS, CKA_VALUE}},
    {CKO_PUBLIC_KEY, CKK_EC_EDWARDS, {CKA_EC_PARAMS, CKA_EC_POINT}},
    {CKO_PRIVATE_KEY, CKK_EC_EDWARDS, {CKA_EC_PARAMS, CKA_VALUE}},
};

// Parts of keys, which may be left out where a key does without them, but
// are never empty.
constexpr CK_ATTRIBUTE_TYPE kKeyMaterial[] = {
    CKA_MODULUS,    CKA_PUBLIC_EXPONENT, CKA_PRIVATE_EXPONENT, CKA_PRIME_1,  CKA_PRIME_2,
    CKA_EXPONENT_1, CKA_EXPONENT_2,      CKA_COEFFICIENT,      CKA_PRIME,    CKA_SUBPRIME,
    CKA_BASE,       CKA_VALUE,           CKA_EC_PARAMS,        CKA_EC_POINT,
};

const CK_ATTRIBUTE* find(const CK_ATTRIBUTE* templ, CK_ULONG count, CK_ATTRIBUTE_TYPE type)
{
    const CK_ATTRIBUTE* end = templ + count;
    const CK_ATTRIBUTE* it = std::find_if(templ, end, [&](const CK_ATTRIBUTE& a) { return a.type == type; });
    return it == end ? nullptr : it;
}

bool number(const CK_ATTRIBUTE* templ, CK_ULONG count, CK_ATTRIBUTE_TYPE type, CK_ULONG& out)
{
    const CK_ATTRIBUTE* a = find(templ, count, type);
    if (!a || !a->pValue || a->ulValueLen != sizeof(CK_ULONG)) {
        return false;
    }
    out = *static_cast<const CK_ULONG*>(a->pValue);
    return true;
}

bool isKeyClass(CK_OBJECT_CLASS cls)
{
    return cls == CKO_PUBLIC_KEY || cls == CKO_PRIVATE_KEY || cls == CKO_SECRET_KEY;
}

}  // namespace

CK_RV checkNewKey(const CK_ATTRIBUTE* templ, CK_ULONG count)
{
    CK_ULONG cls = 0, type = 0;
    if (!number(templ, count, CKA_CLASS, cls) || !isKeyClass(cls)) {
        return CKR_OK;
    }
    for (CK_ULONG i = 0; i < count; ++i) {
        const bool material =
            std::find(std::begin(kKeyMaterial), std::end(kKeyMaterial), templ[i].type) != std::end(kKeyMaterial);
        if (material && templ[i].ulValueLen == 0) {
            return CKR_ATTRIBUTE_VALUE_INVALID;
        }
    }
    if (!number(templ, count, CKA_KEY_TYPE, type)) {
        return CKR_OK;  // the engine refuses a key without a type
    }
    if (cls == CKO_SECRET_KEY) {
        return find(templ, count, CKA_VALUE) ? CKR_OK : CKR_TEMPLATE_INCOMPLETE;
    }
    for (const KeyParts& k : kKeyParts) {
        if (k.cls != cls || k.type != type) {
            continue;
        }
        for (CK_ATTRIBUTE_TYPE part : k.parts) {
            if (!find(templ, count, part)) {
                return CKR_TEMPLATE_INCOMPLETE;
            }
        }
    }
    return CKR_OK;
}

}  // namespace vexa::sim::engine
