// Encryption, decryption, signatures, verification and digests: every
// operation runs on SoftHSM2, whose session keeps its state between calls.
#include "Calls.h"
#include "Output.h"
#include "wire/Functions.h"

namespace vexa::sim::engine {
namespace {

// Calls of one shape share one handler.
using KeyedInit = decltype(&CK_FUNCTION_LIST::C_EncryptInit);
using Transform = decltype(&CK_FUNCTION_LIST::C_Encrypt);
using Finish = decltype(&CK_FUNCTION_LIST::C_EncryptFinal);
using Absorb = decltype(&CK_FUNCTION_LIST::C_SignUpdate);

template <KeyedInit F>
CK_RV keyedInit(Token& token, const Request& req, Response&)
{
    Args a;
    if (CK_RV rv = a.take(token, req, Wants().mechanism().object(CKR_KEY_HANDLE_INVALID)); rv != CKR_OK) {
        return rv;
    }
    return (token.p11().*F)(a.session, a.mechanism.get(), a.object);
}

template <Transform F>
CK_RV transform(Token& token, const Request& req, Response& resp)
{
    CK_SESSION_HANDLE s;
    if (CK_RV rv = token.session(req, s); rv != CKR_OK) {
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
    return token.p11().C_Verify(s, input(req.data), inputLength(req.data), input(req.data2), inputLength(req.data2));
}

CK_RV digestInit(Token& token, const Request& req, Response&)
{
    Args a;
    if (CK_RV rv = a.take(token, req, Wants().mechanism()); rv != CKR_OK) {
        return rv;
    }
    return token.p11().C_DigestInit(a.session, a.mechanism.get());
}

CK_RV digestKey(Token& token, const Request& req, Response&)
{
    Args a;
    if (CK_RV rv = a.take(token, req, Wants().object(CKR_KEY_HANDLE_INVALID)); rv != CKR_OK) {
        return rv;
    }
    return token.p11().C_DigestKey(a.session, a.object);
}

}  // namespace

void addCryptoCalls(CallTable& t)
{
    t[fn::EncryptInit] = keyedInit<&CK_FUNCTION_LIST::C_EncryptInit>;
    t[fn::DecryptInit] = keyedInit<&CK_FUNCTION_LIST::C_DecryptInit>;
    t[fn::SignInit] = keyedInit<&CK_FUNCTION_LIST::C_SignInit>;
    t[fn::VerifyInit] = keyedInit<&CK_FUNCTION_LIST::C_VerifyInit>;
    t[fn::DigestInit] = digestInit;
    t[fn::Encrypt] = transform<&CK_FUNCTION_LIST::C_Encrypt>;
    t[fn::Decrypt] = transform<&CK_FUNCTION_LIST::C_Decrypt>;
    t[fn::EncryptUpdate] = transform<&CK_FUNCTION_LIST::C_EncryptUpdate>;
    t[fn::DecryptUpdate] = transform<&CK_FUNCTION_LIST::C_DecryptUpdate>;
    t[fn::Sign] = transform<&CK_FUNCTION_LIST::C_Sign>;
    t[fn::EncryptFinal] = finish<&CK_FUNCTION_LIST::C_EncryptFinal>;
    t[fn::DecryptFinal] = finish<&CK_FUNCTION_LIST::C_DecryptFinal>;
    t[fn::SignFinal] = finish<&CK_FUNCTION_LIST::C_SignFinal>;
    t[fn::DigestFinal] = finish<&CK_FUNCTION_LIST::C_DigestFinal>;
    t[fn::SignUpdate] = absorb<&CK_FUNCTION_LIST::C_SignUpdate>;
    t[fn::VerifyUpdate] = absorb<&CK_FUNCTION_LIST::C_VerifyUpdate>;
    t[fn::DigestUpdate] = absorb<&CK_FUNCTION_LIST::C_DigestUpdate>;
    t[fn::VerifyFinal] = absorb<&CK_FUNCTION_LIST::C_VerifyFinal>;
    t[fn::Verify] = verify;
    t[fn::DigestKey] = digestKey;
}

}  // namespace vexa::sim::engine
