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
CK_RV keyedInit(CToken& token, const Request& req, Response&)
{
    Args a;
    if (CK_RV rv = a.take(token, req, CWants().mechanism().object(CKR_KEY_HANDLE_INVALID)); rv != CKR_OK) {
        return rv;
    }
    OperationLimits limits;
    if (CK_RV rv = checkKeyFor(token, a.session, a.object, *a.mechanism.get(), U, CKR_KEY_HANDLE_INVALID, limits);
        rv != CKR_OK) {
        return rv;
    }
    std::shared_ptr<CPreHash> preHash = CPreHash::forMechanism(a.mechanism.get()->mechanism);
    CK_MECHANISM raw{preHash ? preHash->rawMechanism() : 0, nullptr, 0};
    if (preHash) {
        limits.singlePart = true;  // SoftHSM2 takes the digest in one call
    }
    CK_RV rv = (token.p11().*F)(a.session, preHash ? &raw : a.mechanism.get(), a.object);
    if (rv == CKR_OK) {
        token.started(a.session, {U, limits, preHash, a.mechanism.get()->mechanism == CKM_AES_GCM});
    }
    return rv;
}

// What SoftHSM2 answers a tag that does not authenticate the ciphertext
// with, as a token answers it.
CK_RV judgedTag(CToken& token, CK_SESSION_HANDLE s, CK_RV rv)
{
    const StartedOperation* op = token.started(s);
    const bool decrypting = op && op->use == KeyUse::Decrypt && op->tagged;
    return decrypting && rv == CKR_GENERAL_ERROR ? CKR_ENCRYPTED_DATA_INVALID : rv;
}

// The token's hash of the session's operation of this use, or null when
// SoftHSM2 hashes (or there is nothing to hash).
CPreHash* preHashOf(CToken& token, CK_SESSION_HANDLE s, KeyUse use)
{
    StartedOperation* op = token.started(s);
    return op && op->use == use ? op->preHash.get() : nullptr;
}

void endPreHash(CToken& token, CK_SESSION_HANDLE s)
{
    if (StartedOperation* op = token.started(s)) {
        op->preHash.reset();
    }
}

// Signs the token's digest; the operation ends unless the call only asked
// for the length or found the buffer too small, as PKCS#11 has it.
CK_RV signDigest(CToken& token, CK_SESSION_HANDLE s, const Bytes& digest, const Request& req, Response& resp)
{
    bool ended = true;
    CK_RV rv = answerOutput(req, resp, [&](CK_BYTE_PTR out, CK_ULONG_PTR length) {
        const CK_RV result = token.p11().C_Sign(s, const_cast<CK_BYTE_PTR>(digest.data()), digest.size(), out, length);
        ended = !(result == CKR_BUFFER_TOO_SMALL || (result == CKR_OK && out == nullptr));
        return result;
    });
    if (ended) {
        endPreHash(token, s);
    }
    return rv;
}

CK_RV verifyDigest(CToken& token, CK_SESSION_HANDLE s, const Bytes& digest, const std::optional<Bytes>& signature)
{
    endPreHash(token, s);
    return token.p11().C_Verify(s, const_cast<CK_BYTE_PTR>(digest.data()), digest.size(), input(signature),
                                inputLength(signature));
}

// What of a call's `data` the started operation limits: nothing (the parts
// of a multi-part operation), the data of C_Encrypt and C_Sign, the
// ciphertext of C_Decrypt.
enum class Limited { Nothing, Data, Ciphertext };

CK_RV checkLimited(CToken& token, CK_SESSION_HANDLE s, KeyUse use, Limited limited, const std::optional<Bytes>& data)
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
CK_RV transform(CToken& token, const Request& req, Response& resp)
{
    CK_SESSION_HANDLE s;
    if (CK_RV rv = token.session(req, s); rv != CKR_OK) {
        return rv;
    }
    if (CK_RV rv = checkLimited(token, s, U, L, req.data); rv != CKR_OK) {
        return rv;
    }
    if (CPreHash* preHash = preHashOf(token, s, KeyUse::Sign); U == KeyUse::Sign && preHash != nullptr) {
        return signDigest(token, s, preHash->digestOf(req.data), req, resp);
    }
    return judgedTag(token, s, answerOutput(req, resp, [&](CK_BYTE_PTR out, CK_ULONG_PTR length) {
                         return (token.p11().*F)(s, input(req.data), inputLength(req.data), out, length);
                     }));
}

template <Finish F>
CK_RV finish(CToken& token, const Request& req, Response& resp)
{
    CK_SESSION_HANDLE s;
    if (CK_RV rv = token.session(req, s); rv != CKR_OK) {
        return rv;
    }
    return judgedTag(token, s, answerOutput(req, resp, [&](CK_BYTE_PTR out, CK_ULONG_PTR length) {
                         return (token.p11().*F)(s, out, length);
                     }));
}

template <Finish F, KeyUse U>
CK_RV finishKeyed(CToken& token, const Request& req, Response& resp)
{
    CK_SESSION_HANDLE s;
    if (CK_RV rv = token.session(req, s); rv != CKR_OK) {
        return rv;
    }
    return finalResult(token, s, U, finish<F>(token, req, resp));
}

template <Absorb F>
CK_RV absorb(CToken& token, const Request& req, Response&)
{
    CK_SESSION_HANDLE s;
    if (CK_RV rv = token.session(req, s); rv != CKR_OK) {
        return rv;
    }
    return (token.p11().*F)(s, input(req.data), inputLength(req.data));
}

CK_RV signFinal(CToken& token, const Request& req, Response& resp)
{
    CK_SESSION_HANDLE s;
    if (CK_RV rv = token.session(req, s); rv != CKR_OK) {
        return rv;
    }
    if (CPreHash* preHash = preHashOf(token, s, KeyUse::Sign)) {
        return signDigest(token, s, preHash->digest(), req, resp);
    }
    return finishKeyed<&CK_FUNCTION_LIST::C_SignFinal, KeyUse::Sign>(token, req, resp);
}

// A part of a hashing signature: into the token's hash when it hashes.
template <Absorb F, KeyUse U>
CK_RV absorbSigned(CToken& token, const Request& req, Response& resp)
{
    CK_SESSION_HANDLE s;
    if (CK_RV rv = token.session(req, s); rv != CKR_OK) {
        return rv;
    }
    if (CPreHash* preHash = preHashOf(token, s, U)) {
        preHash->update(req.data);
        return CKR_OK;
    }
    return absorb<F>(token, req, resp);
}

CK_RV verify(CToken& token, const Request& req, Response&)
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
    if (CPreHash* preHash = preHashOf(token, s, KeyUse::Verify)) {
        return verifyDigest(token, s, preHash->digestOf(req.data), req.data2);
    }
    return token.p11().C_Verify(s, input(req.data), inputLength(req.data), input(req.data2), inputLength(req.data2));
}

CK_RV verifyFinal(CToken& token, const Request& req, Response&)
{
    CK_SESSION_HANDLE s;
    if (CK_RV rv = token.session(req, s); rv != CKR_OK) {
        return rv;
    }
    if (CK_RV rv = checkSealedOf(token, s, KeyUse::Verify, req.data); rv != CKR_OK) {
        return rv;
    }
    if (CPreHash* preHash = preHashOf(token, s, KeyUse::Verify)) {
        return verifyDigest(token, s, preHash->digest(), req.data);
    }
    return finalResult(token, s, KeyUse::Verify, token.p11().C_VerifyFinal(s, input(req.data), inputLength(req.data)));
}

CK_RV digestInit(CToken& token, const Request& req, Response&)
{
    Args a;
    if (CK_RV rv = a.take(token, req, CWants().mechanism()); rv != CKR_OK) {
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
CK_RV digestKey(CToken& token, const Request& req, Response&)
{
    Args a;
    if (CK_RV rv = a.take(token, req, CWants().object(CKR_KEY_HANDLE_INVALID)); rv != CKR_OK) {
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
    t[fn::SignFinal] = signFinal;
    t[fn::DigestFinal] = finish<&CK_FUNCTION_LIST::C_DigestFinal>;
    t[fn::SignUpdate] = absorbSigned<&CK_FUNCTION_LIST::C_SignUpdate, KeyUse::Sign>;
    t[fn::VerifyUpdate] = absorbSigned<&CK_FUNCTION_LIST::C_VerifyUpdate, KeyUse::Verify>;
    t[fn::DigestUpdate] = absorb<&CK_FUNCTION_LIST::C_DigestUpdate>;
    t[fn::VerifyFinal] = verifyFinal;
    t[fn::Verify] = verify;
    t[fn::DigestKey] = digestKey;
}

}  // namespace vexa::sim::engine
