// Encryption, decryption, signatures, verification and digests: every
// operation runs on SoftHSM2, whose session keeps its state between calls;
// the token checks keys and lengths first (OperationChecks.h).
#include "Calls.h"
#include "OperationChecks.h"
#include "Output.h"
#include "wire/Functions.h"

namespace vexa::sim::engine {
namespace {

// Calls of one shape share one handler.
using KeyedInit = decltype(&CK_FUNCTION_LIST::C_EncryptInit);
using Transform = decltype(&CK_FUNCTION_LIST::C_Encrypt);
using Finish = decltype(&CK_FUNCTION_LIST::C_EncryptFinal);
using Absorb = decltype(&CK_FUNCTION_LIST::C_SignUpdate);

template <KeyedInit F, KeyUse U>
CK_RV keyedInit(Token& token, const Request& req, Response&)
{
    Args a;
    if (CK_RV rv = a.take(token, req, Wants().mechanism().object(CKR_KEY_HANDLE_INVALID)); rv != CKR_OK) {
        return rv;
    }
    OperationLimits limits;
    if (CK_RV rv = checkKeyFor(token, a.session, a.object, *a.mechanism.get(), U, CKR_KEY_HANDLE_INVALID, limits);
        rv != CKR_OK) {
        return rv;
    }
    CK_RV rv = (token.p11().*F)(a.session, a.mechanism.get(), a.object);
    if (rv == CKR_OK) {
        token.started(a.session, {U, limits});
    }
    return rv;
}

// What of a call's `data` the started operation limits: nothing (the parts
// of a multi-part operation), the data of C_Encrypt and C_Sign, the
// ciphertext of C_Decrypt.
enum class Limited { Nothing, Data, Ciphertext };

CK_RV checkLimited(Token& token, CK_SESSION_HANDLE s, KeyUse use, Limited limited, const std::optional<Bytes>& data)
{
    switch (limited) {
    case Limited::Data:
        return checkInputOf(token, s, use, data);
    case Limited::Ciphertext:
        return checkSealedOf(token, s, use, data);
    default:
        return CKR_OK;
    }
}

template <Transform F, KeyUse U, Limited L>
CK_RV transform(Token& token, const Request& req, Response& resp)
{
    CK_SESSION_HANDLE s;
    if (CK_RV rv = token.session(req, s); rv != CKR_OK) {
        return rv;
    }
    if (CK_RV rv = checkLimited(token, s, U, L, req.data); rv != CKR_OK) {
        return rv;
    }
    return answerOutput(req, resp, [&](CK_BYTE_PTR out, CK_ULONG_PTR length) {
        return (token.p11().*F)(s, input(req.data), inputLength(req.data), out, length);
    });
}

template <Finish F>
CK_RV finish(Token& token, const Request& req, Response& resp)
{
    CK_SESSION_HANDLE s;
    if (CK_RV rv = token.session(req, s); rv != CKR_OK) {
        return rv;
    }
    return answerOutput(req, resp,
                        [&](CK_BYTE_PTR out, CK_ULONG_PTR length) { return (token.p11().*F)(s, out, length); });
}

template <Finish F, KeyUse U>
CK_RV finishKeyed(Token& token, const Request& req, Response& resp)
{
    CK_SESSION_HANDLE s;
    if (CK_RV rv = token.session(req, s); rv != CKR_OK) {
        return rv;
    }
    return finalResult(token, s, U, finish<F>(token, req, resp));
}

template <Absorb F>
CK_RV absorb(Token& token, const Request& req, Response&)
{
    CK_SESSION_HANDLE s;
    if (CK_RV rv = token.session(req, s); rv != CKR_OK) {
        return rv;
    }
    return (token.p11().*F)(s, input(req.data), inputLength(req.data));
}

CK_RV verify(Token& token, const Request& req, Response&)
{
    CK_SESSION_HANDLE s;
    if (CK_RV rv = token.session(req, s); rv != CKR_OK) {
        return rv;
    }
    if (CK_RV rv = checkInputOf(token, s, KeyUse::Verify, req.data); rv != CKR_OK) {
        return rv;
    }
    if (CK_RV rv = checkSealedOf(token, s, KeyUse::Verify, req.data2); rv != CKR_OK) {
        return rv;
    }
    return token.p11().C_Verify(s, input(req.data), inputLength(req.data), input(req.data2), inputLength(req.data2));
}

CK_RV verifyFinal(Token& token, const Request& req, Response&)
{
    CK_SESSION_HANDLE s;
    if (CK_RV rv = token.session(req, s); rv != CKR_OK) {
        return rv;
    }
    if (CK_RV rv = checkSealedOf(token, s, KeyUse::Verify, req.data); rv != CKR_OK) {
        return rv;
    }
    return finalResult(token, s, KeyUse::Verify, token.p11().C_VerifyFinal(s, input(req.data), inputLength(req.data)));
}

CK_RV digestInit(Token& token, const Request& req, Response&)
{
    Args a;
    if (CK_RV rv = a.take(token, req, Wants().mechanism()); rv != CKR_OK) {
        return rv;
    }
    CK_RV rv = token.p11().C_DigestInit(a.session, a.mechanism.get());
    if (rv == CKR_OK) {
        token.started(a.session, {std::nullopt, OperationLimits()});
    }
    return rv;
}

// Only a secret key's value may be digested; a private key's never leaves
// the token, not even hashed.
CK_RV digestKey(Token& token, const Request& req, Response&)
{
    Args a;
    if (CK_RV rv = a.take(token, req, Wants().object(CKR_KEY_HANDLE_INVALID)); rv != CKR_OK) {
        return rv;
    }
    KeyFacts facts;
    if (CK_RV rv = keyFactsFor(token, a.session, a.object, CKR_KEY_HANDLE_INVALID, facts); rv != CKR_OK) {
        return rv;
    }
    if (facts.cls != CKO_SECRET_KEY) {
        return CKR_KEY_INDIGESTIBLE;
    }
    return token.p11().C_DigestKey(a.session, a.object);
}

}  // namespace

void addCryptoCalls(CallTable& t)
{
    t[fn::EncryptInit] = keyedInit<&CK_FUNCTION_LIST::C_EncryptInit, KeyUse::Encrypt>;
    t[fn::DecryptInit] = keyedInit<&CK_FUNCTION_LIST::C_DecryptInit, KeyUse::Decrypt>;
    t[fn::SignInit] = keyedInit<&CK_FUNCTION_LIST::C_SignInit, KeyUse::Sign>;
    t[fn::VerifyInit] = keyedInit<&CK_FUNCTION_LIST::C_VerifyInit, KeyUse::Verify>;
    t[fn::DigestInit] = digestInit;
    t[fn::Encrypt] = transform<&CK_FUNCTION_LIST::C_Encrypt, KeyUse::Encrypt, Limited::Data>;
    t[fn::Decrypt] = transform<&CK_FUNCTION_LIST::C_Decrypt, KeyUse::Decrypt, Limited::Ciphertext>;
    t[fn::EncryptUpdate] = transform<&CK_FUNCTION_LIST::C_EncryptUpdate, KeyUse::Encrypt, Limited::Nothing>;
    t[fn::DecryptUpdate] = transform<&CK_FUNCTION_LIST::C_DecryptUpdate, KeyUse::Decrypt, Limited::Nothing>;
    t[fn::Sign] = transform<&CK_FUNCTION_LIST::C_Sign, KeyUse::Sign, Limited::Data>;
    t[fn::EncryptFinal] = finishKeyed<&CK_FUNCTION_LIST::C_EncryptFinal, KeyUse::Encrypt>;
    t[fn::DecryptFinal] = finishKeyed<&CK_FUNCTION_LIST::C_DecryptFinal, KeyUse::Decrypt>;
    t[fn::SignFinal] = finishKeyed<&CK_FUNCTION_LIST::C_SignFinal, KeyUse::Sign>;
    t[fn::DigestFinal] = finish<&CK_FUNCTION_LIST::C_DigestFinal>;
    t[fn::SignUpdate] = absorb<&CK_FUNCTION_LIST::C_SignUpdate>;
    t[fn::VerifyUpdate] = absorb<&CK_FUNCTION_LIST::C_VerifyUpdate>;
    t[fn::DigestUpdate] = absorb<&CK_FUNCTION_LIST::C_DigestUpdate>;
    t[fn::VerifyFinal] = verifyFinal;
    t[fn::Verify] = verify;
    t[fn::DigestKey] = digestKey;
}

}  // namespace vexa::sim::engine
