// Key generation, wrapping, unwrapping and derivation.
#include "Attributes.h"
#include "Calls.h"
#include "FunctionIds.h"
#include "Output.h"

namespace vexa::sim::engine {
namespace {

// A new key goes to the caller and into the token's list of handles.
void handOut(Token& token, CK_OBJECT_HANDLE key, std::optional<uint32_t>& field) {
    token.adopt(key);
    field = static_cast<uint32_t>(key);
}

CK_RV generateKey(Token& token, const Request& req, Response& resp) {
    CK_SESSION_HANDLE s;
    Mechanism mech;
    Template tmpl;
    if (CK_RV rv = token.session(req, s); rv != CKR_OK)
        return rv;
    if (CK_RV rv = mechanismOf(req, mech); rv != CKR_OK)
        return rv;
    if (CK_RV rv = tmpl.assign(req.templ); rv != CKR_OK)
        return rv;
    CK_OBJECT_HANDLE key = 0;
    CK_RV rv = token.p11().C_GenerateKey(s, mech.get(), tmpl.data(), tmpl.count(), &key);
    if (rv != CKR_OK)
        return rv;
    handOut(token, key, resp.handle);
    token.record("key generated, mechanism " + hex32(mech.get()->mechanism));
    return CKR_OK;
}

CK_RV generateKeyPair(Token& token, const Request& req, Response& resp) {
    CK_SESSION_HANDLE s;
    Mechanism mech;
    Template pub, priv;
    if (CK_RV rv = token.session(req, s); rv != CKR_OK)
        return rv;
    if (CK_RV rv = mechanismOf(req, mech); rv != CKR_OK)
        return rv;
    if (CK_RV rv = pub.assign(req.templ); rv != CKR_OK)
        return rv;
    if (CK_RV rv = priv.assign(req.templ2); rv != CKR_OK)
        return rv;
    CK_OBJECT_HANDLE pubKey = 0, privKey = 0;
    CK_RV rv = token.p11().C_GenerateKeyPair(s, mech.get(), pub.data(), pub.count(), priv.data(),
                                             priv.count(), &pubKey, &privKey);
    if (rv != CKR_OK)
        return rv;
    handOut(token, pubKey, resp.handle);
    handOut(token, privKey, resp.handle2);
    token.record("key pair generated, mechanism " + hex32(mech.get()->mechanism));
    return CKR_OK;
}

CK_RV wrapKey(Token& token, const Request& req, Response& resp) {
    CK_SESSION_HANDLE s;
    Mechanism mech;
    CK_OBJECT_HANDLE key, wrapping;
    if (CK_RV rv = token.session(req, s); rv != CKR_OK)
        return rv;
    if (CK_RV rv = mechanismOf(req, mech); rv != CKR_OK)
        return rv;
    if (CK_RV rv = token.object(req.handle, CKR_KEY_HANDLE_INVALID, key); rv != CKR_OK)
        return rv;
    if (CK_RV rv = token.object(req.handle2, CKR_WRAPPING_KEY_HANDLE_INVALID, wrapping); rv != CKR_OK)
        return rv;
    return answerOutput(req, resp, [&](CK_BYTE_PTR out, CK_ULONG_PTR length) {
        return token.p11().C_WrapKey(s, mech.get(), wrapping, key, out, length);
    });
}

CK_RV unwrapKey(Token& token, const Request& req, Response& resp) {
    CK_SESSION_HANDLE s;
    Mechanism mech;
    CK_OBJECT_HANDLE unwrapping;
    Template tmpl;
    if (CK_RV rv = token.session(req, s); rv != CKR_OK)
        return rv;
    if (CK_RV rv = mechanismOf(req, mech); rv != CKR_OK)
        return rv;
    if (CK_RV rv = token.object(req.handle, CKR_UNWRAPPING_KEY_HANDLE_INVALID, unwrapping); rv != CKR_OK)
        return rv;
    if (CK_RV rv = tmpl.assign(req.templ); rv != CKR_OK)
        return rv;
    CK_OBJECT_HANDLE key = 0;
    CK_RV rv = token.p11().C_UnwrapKey(s, mech.get(), unwrapping, input(req.data),
                                       inputLength(req.data), tmpl.data(), tmpl.count(), &key);
    if (rv == CKR_OK)
        handOut(token, key, resp.handle);
    return rv;
}

CK_RV deriveKey(Token& token, const Request& req, Response& resp) {
    CK_SESSION_HANDLE s;
    Mechanism mech;
    CK_OBJECT_HANDLE base;
    Template tmpl;
    if (CK_RV rv = token.session(req, s); rv != CKR_OK)
        return rv;
    if (CK_RV rv = mechanismOf(req, mech); rv != CKR_OK)
        return rv;
    if (CK_RV rv = token.object(req.handle, CKR_KEY_HANDLE_INVALID, base); rv != CKR_OK)
        return rv;
    if (CK_RV rv = tmpl.assign(req.templ); rv != CKR_OK)
        return rv;
    CK_OBJECT_HANDLE key = 0;
    CK_RV rv = token.p11().C_DeriveKey(s, mech.get(), base, tmpl.data(), tmpl.count(), &key);
    if (rv == CKR_OK)
        handOut(token, key, resp.handle);
    return rv;
}

}  // namespace

void addKeyCalls(CallTable& t) {
    t[fn::GenerateKey] = generateKey;
    t[fn::GenerateKeyPair] = generateKeyPair;
    t[fn::WrapKey] = wrapKey;
    t[fn::UnwrapKey] = unwrapKey;
    t[fn::DeriveKey] = deriveKey;
}

}  // namespace vexa::sim::engine
