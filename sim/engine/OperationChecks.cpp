#include "OperationChecks.h"

#include <algorithm>

namespace vexa::sim::engine {
namespace {

// Largest output an operation is run to completion for, only to end it.
constexpr CK_ULONG kMaxDrain = 1u << 20;

// Runs a single-part call to its end on an input SoftHSM2 takes safely; its
// result is thrown away.
template <typename Call>
void runToEnd(Call call, CK_SESSION_HANDLE s, const Bytes& input)
{
    CK_BYTE none = 0;
    CK_BYTE_PTR in = input.empty() ? &none : const_cast<CK_BYTE_PTR>(input.data());
    CK_ULONG length = 0;
    if (call(s, in, input.size(), nullptr, &length) != CKR_OK || length > kMaxDrain) {
        return;
    }
    Bytes out(std::max<CK_ULONG>(length, 1));
    call(s, in, input.size(), out.data(), &length);
}

void finishSigning(CK_FUNCTION_LIST& p11, CK_SESSION_HANDLE s)
{
    CK_ULONG length = 0;
    if (p11.C_SignFinal(s, nullptr, &length) != CKR_OK || length > kMaxDrain) {
        return;
    }
    Bytes out(std::max<CK_ULONG>(length, 1));
    p11.C_SignFinal(s, out.data(), &length);
}

// SoftHSM2 ends an operation on a call the mechanism cannot take (an Update
// of a single-part signature), on a signature of the wrong length, and when
// a single-part encryption or decryption completes; an empty input is
// within every limit of these, a ciphertext of the limit's length too.
void endOperation(CK_FUNCTION_LIST& p11, CK_SESSION_HANDLE s, const StartedOperation& op)
{
    CK_BYTE none = 0;
    switch (*op.use) {
    case KeyUse::Encrypt:
        runToEnd(p11.C_Encrypt, s, Bytes());
        break;
    case KeyUse::Decrypt:
        runToEnd(p11.C_Decrypt, s, Bytes(op.limits.sealedSize.value_or(0)));
        break;
    case KeyUse::Sign:
        if (op.limits.singlePart) {
            p11.C_SignUpdate(s, &none, 0);
        } else {
            finishSigning(p11, s);
        }
        break;
    case KeyUse::Verify:
        if (op.limits.singlePart) {
            p11.C_VerifyUpdate(s, &none, 0);
        } else {
            p11.C_VerifyFinal(s, &none, 0);
        }
        break;
    default:
        break;
    }
}

const StartedOperation* startedFor(const CToken& token, CK_SESSION_HANDLE s, KeyUse use)
{
    const StartedOperation* op = token.started(s);
    return op && op->use == use ? op : nullptr;
}

CK_RV refuseWith(CToken& token, CK_SESSION_HANDLE s, const StartedOperation& op, CK_RV rv)
{
    if (rv != CKR_OK) {
        endOperation(token.p11(), s, op);
        if (StartedOperation* ended = token.started(s)) {
            ended->preHash.reset();  // the token's own hash ends with it
        }
    }
    return rv;
}

}  // namespace

CK_RV keyFactsFor(CToken& token, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key, CK_RV invalidKey, KeyFacts& out)
{
    CK_RV rv = readKeyFacts(token.p11(), session, key, out);
    return rv == CKR_OBJECT_HANDLE_INVALID ? invalidKey : rv;
}

CK_RV checkKeyFor(CToken& token, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key, const CK_MECHANISM& mechanism,
                  KeyUse use, CK_RV invalidKey, OperationLimits& limits)
{
    KeyFacts facts;
    if (CK_RV rv = keyFactsFor(token, session, key, invalidKey, facts); rv != CKR_OK) {
        return rv;
    }
    return checkKeyUse(mechanism, use, facts, limits);
}

CK_RV checkInputOf(CToken& token, CK_SESSION_HANDLE session, KeyUse use, const std::optional<Bytes>& data)
{
    const StartedOperation* op = startedFor(token, session, use);
    if (!op || !data) {
        return CKR_OK;
    }
    return refuseWith(token, session, *op, checkInput(op->limits, data->size()));
}

CK_RV checkSealedOf(CToken& token, CK_SESSION_HANDLE session, KeyUse use, const std::optional<Bytes>& sealed)
{
    const StartedOperation* op = startedFor(token, session, use);
    if (!op || !sealed) {
        return CKR_OK;
    }
    return refuseWith(token, session, *op, checkSealed(op->limits, use, sealed->size()));
}

CK_RV finalResult(CToken& token, CK_SESSION_HANDLE session, KeyUse use, CK_RV rv)
{
    const StartedOperation* op = startedFor(token, session, use);
    if (op && op->limits.singlePart && rv != CKR_OK && rv != CKR_BUFFER_TOO_SMALL) {
        endOperation(token.p11(), session, *op);
    }
    return rv;
}

}  // namespace vexa::sim::engine
