// Key generation, wrapping, unwrapping and derivation.
#include "Calls.h"
#include "OperationChecks.h"
#include "Output.h"
#include "wire/Functions.h"

namespace vexa::sim::engine {
namespace {

// A new key goes to the caller and into the token's list of handles.
void handOut(CToken& token, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key, std::optional<uint32_t>& field)
{
    token.adopt(key, session);
    field = static_cast<uint32_t>(key);
}

CK_RV generateKey(CToken& token, const Request& req, Response& resp)
{
    Args a;
    if (CK_RV rv = a.take(token, req, CWants().mechanism().templ()); rv != CKR_OK) {
        return rv;
    }
    if (CK_RV rv = checkGeneration(a.mechanism.get()->mechanism, a.templ.data(), a.templ.count()); rv != CKR_OK) {
        return rv;
    }
    CK_OBJECT_HANDLE key = 0;
    CK_RV rv = token.p11().C_GenerateKey(a.session, a.mechanism.get(), attributes(a.templ), a.templ.count(), &key);
    if (rv != CKR_OK) {
        return rv;
    }
    handOut(token, a.session, key, resp.handle);
    token.record("key generated, mechanism " + hex32(a.mechanism.get()->mechanism));
    return CKR_OK;
}

CK_RV generateKeyPair(CToken& token, const Request& req, Response& resp)
{
    Args a;
    if (CK_RV rv = a.take(token, req, CWants().mechanism().templ().templ2()); rv != CKR_OK) {
        return rv;
    }
    if (CK_RV rv = checkGeneration(a.mechanism.get()->mechanism, a.templ.data(), a.templ.count()); rv != CKR_OK) {
        return rv;
    }
    CK_OBJECT_HANDLE pub = 0, priv = 0;
    CK_RV rv = token.p11().C_GenerateKeyPair(a.session, a.mechanism.get(), attributes(a.templ), a.templ.count(),
                                             attributes(a.templ2), a.templ2.count(), &pub, &priv);
    if (rv != CKR_OK) {
        return rv;
    }
    handOut(token, a.session, pub, resp.handle);
    handOut(token, a.session, priv, resp.handle2);
    token.record("key pair generated, mechanism " + hex32(a.mechanism.get()->mechanism));
    return CKR_OK;
}

CK_RV wrapKey(CToken& token, const Request& req, Response& resp)
{
    Args a;
    const CWants wants = CWants().mechanism().object(CKR_KEY_HANDLE_INVALID).object2(CKR_WRAPPING_KEY_HANDLE_INVALID);
    if (CK_RV rv = a.take(token, req, wants); rv != CKR_OK) {
        return rv;
    }
    OperationLimits limits;
    if (CK_RV rv = checkKeyFor(token, a.session, a.object2, *a.mechanism.get(), KeyUse::Wrap,
                               CKR_WRAPPING_KEY_HANDLE_INVALID, limits);
        rv != CKR_OK) {
        return rv;
    }
    return answerOutput(req, resp, [&](CK_BYTE_PTR out, CK_ULONG_PTR length) {
        return token.p11().C_WrapKey(a.session, a.mechanism.get(), a.object2, a.object, out, length);
    });
}

CK_RV unwrapKey(CToken& token, const Request& req, Response& resp)
{
    Args a;
    if (CK_RV rv = a.take(token, req, CWants().mechanism().object(CKR_UNWRAPPING_KEY_HANDLE_INVALID).templ());
        rv != CKR_OK) {
        return rv;
    }
    OperationLimits limits;
    if (CK_RV rv = checkKeyFor(token, a.session, a.object, *a.mechanism.get(), KeyUse::Unwrap,
                               CKR_UNWRAPPING_KEY_HANDLE_INVALID, limits);
        rv != CKR_OK) {
        return rv;
    }
    if (CK_RV rv = checkSealed(limits, KeyUse::Unwrap, inputLength(req.data)); rv != CKR_OK) {
        return rv;
    }
    CK_OBJECT_HANDLE key = 0;
    CK_RV rv = token.p11().C_UnwrapKey(a.session, a.mechanism.get(), a.object, input(req.data), inputLength(req.data),
                                       attributes(a.templ), a.templ.count(), &key);
    if (rv == CKR_OK) {
        handOut(token, a.session, key, resp.handle);
    }
    return rv;
}

CK_RV deriveKey(CToken& token, const Request& req, Response& resp)
{
    Args a;
    if (CK_RV rv = a.take(token, req, CWants().mechanism().object(CKR_KEY_HANDLE_INVALID).templ()); rv != CKR_OK) {
        return rv;
    }
    OperationLimits limits;
    if (CK_RV rv =
            checkKeyFor(token, a.session, a.object, *a.mechanism.get(), KeyUse::Derive, CKR_KEY_HANDLE_INVALID, limits);
        rv != CKR_OK) {
        return rv;
    }
    CK_OBJECT_HANDLE key = 0;
    CK_RV rv =
        token.p11().C_DeriveKey(a.session, a.mechanism.get(), a.object, attributes(a.templ), a.templ.count(), &key);
    if (rv == CKR_OK) {
        handOut(token, a.session, key, resp.handle);
    }
    return rv;
}

}  // namespace

void addKeyCalls(CallTable& t)
{
    t[fn::GenerateKey] = generateKey;
    t[fn::GenerateKeyPair] = generateKeyPair;
    t[fn::WrapKey] = wrapKey;
    t[fn::UnwrapKey] = unwrapKey;
    t[fn::DeriveKey] = deriveKey;
}

}  // namespace vexa::sim::engine
