#pragma once
// The shapes that the library's functions take. A function says only what is
// particular to it (its trace line, argument checks, request fields and what
// it copies back); a shape adds the rest, always in this order: the trace
// line, the initialised test, the argument checks, the session or slot
// binding, one exchange with the token under the token's exchange lock.
//
//   entryCall          checks, then the body
//   sessionCall        checks, then one request on a session
//   exchangeOnSession, exchangeOnSlot: the request itself
//   holdingSessionToken, holdingSlotToken: a session's or slot's token held
//                      for a body that makes several requests, which then
//                      reach the token back to back
//
// No shape holds a lock of the library's across an exchange: calls on
// different tokens run side by side, calls on one token one at a time.
#include <p11-kit/pkcs11.h>

#include "CContext.h"
#include "wire/Functions.h"

namespace vexa::pkcs11 {

// Argument checks: CKR_OK lets the call go on. They run before the token is
// held, and may also prepare what the request will carry.
inline constexpr auto kNoChecks = [] { return CKR_OK; };
// Fills the request beyond its function (and may install readers on the
// response) once the session or slot is bound.
inline constexpr auto kNoFields = [](TokenCall&) {};
// Turns the reply into the function's result after the exchange.
inline constexpr auto kTokenResult = [](TokenCall& call) { return call.response.rv; };

// The trace line (none when trace is null), the initialised test, the checks.
template <typename Checks>
CK_RV enterCall(CContext& context, const char* trace, Checks checks)
{
    if (trace != nullptr) {
        context.log().logText(corvel::kLogTrace, trace);
    }
    if (!context.isInitialized()) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    return checks();
}

template <typename Checks, typename Body>
CK_RV entryCall(CContext& context, const char* trace, Checks checks, Body body)
{
    const CK_RV entered = enterCall(context, trace, checks);
    return entered != CKR_OK ? entered : body();
}

// Binds the call to the session: its slot, the token's session number in the
// request. CKR_SESSION_HANDLE_INVALID for a handle the library does not hold.
CK_RV bindSession(CContext& context, CK_SESSION_HANDLE hSession, TokenCall& call);

// Fills the request, exchanges it with the held token, reads the reply, all
// while the token is held: what finish records belongs to that exchange.
template <typename Fill, typename Finish>
CK_RV completeCall(CHeldSlot& held, TokenCall& call, Fill& fill, Finish& finish)
{
    fill(call);
    held.exchange(call);
    return finish(call);
}

// Binds the session (CKR_SESSION_HANDLE_INVALID, and nothing sent, for a
// handle the library does not hold), then fill, one exchange and finish.
template <typename Fill = decltype(kNoFields), typename Finish = decltype(kTokenResult)>
CK_RV exchangeOnSession(CContext& context, CK_SESSION_HANDLE hSession, FunctionId function, Fill fill = kNoFields,
                        Finish finish = kTokenResult)
{
    TokenCall call;
    call.request.function = function;
    if (const CK_RV bound = bindSession(context, hSession, call); bound != CKR_OK) {
        return bound;
    }
    CHeldSlot held(context.callPath(), static_cast<CK_SLOT_ID>(call.slot));
    return completeCall(held, call, fill, finish);
}

// The same on a slot, for requests that name no session. An unknown slot
// fails in the exchange ("Port not found").
template <typename Fill = decltype(kNoFields), typename Finish = decltype(kTokenResult)>
CK_RV exchangeOnSlot(CContext& context, CK_SLOT_ID slotID, FunctionId function, Fill fill = kNoFields,
                     Finish finish = kTokenResult)
{
    TokenCall call;
    call.request.function = function;
    CHeldSlot held(context.callPath(), slotID);
    return completeCall(held, call, fill, finish);
}

// A function that sends one request on a session: every function of the
// object and cryptographic families, login and the PIN functions.
template <typename Checks = decltype(kNoChecks), typename Fill = decltype(kNoFields),
          typename Finish = decltype(kTokenResult)>
CK_RV sessionCall(CContext& context, const char* trace, CK_SESSION_HANDLE hSession, FunctionId function,
                  Checks checks = kNoChecks, Fill fill = kNoFields, Finish finish = kTokenResult)
{
    return entryCall(context, trace, checks,
                     [&] { return exchangeOnSession(context, hSession, function, fill, finish); });
}

// Runs body with the session's token held: the requests it makes reach that
// token back to back. CKR_SESSION_HANDLE_INVALID, without running body, for a
// handle the library does not hold.
template <typename Body>
CK_RV holdingSessionToken(CContext& context, CK_SESSION_HANDLE hSession, Body body)
{
    TokenCall probe;
    if (const CK_RV bound = bindSession(context, hSession, probe); bound != CKR_OK) {
        return bound;
    }
    CHeldSlot held(context.callPath(), static_cast<CK_SLOT_ID>(probe.slot));
    return body();
}

// A call on a family's operation (single part, update, final). PKCS#11 ends
// the operation at every failure of such a call except CKR_BUFFER_TOO_SMALL;
// when the failure is not the token's own answer (refused here, no reply),
// the token may still hold the operation, and the session's next request of
// the family ends it first.
template <typename Body>
CK_RV operationStep(CContext& context, CK_SESSION_HANDLE hSession, Family family, Body body)
{
    forgetLastAnswer();
    const CK_RV rv = body();
    if (rv != CKR_OK && rv != CKR_BUFFER_TOO_SMALL && !tokenEndedOperation()) {
        context.sessions().markEndPending(hSession, family);
    }
    return rv;
}

// The same for the token of a slot.
template <typename Body>
CK_RV holdingSlotToken(CContext& context, CK_SLOT_ID slotID, Body body)
{
    CHeldSlot held(context.callPath(), slotID);
    return body();
}

}  // namespace vexa::pkcs11
