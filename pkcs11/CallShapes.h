#pragma once
// The shapes that the library's functions take. A function says only what is
// particular to it (its trace line, argument checks, request fields and what
// it copies back); a shape adds the rest, always in this order: the trace
// line, the initialised test, the argument checks, the library lock, the
// session or slot binding, one exchange with the token.
//
//   unlockedCall  checks, then the body, without the library lock
//   lockedCall    checks, then the body under the library lock
//   sessionCall   checks, then one request on a session under the lock
//   exchangeOnSession_inlock, exchangeOnSlot: the request itself, for bodies
//                 that make it in a loop or without the lock
#include <p11-kit/pkcs11.h>

#include <mutex>
#include <optional>

#include "CContext.h"
#include "wire/Functions.h"

namespace vexa::pkcs11 {

// One request to a token and its reply, as a function fills and reads them.
struct TokenCall {
    RpcRequest request = RpcRequest_init_zero;
    RpcResponse response = RpcResponse_init_zero;
    SlotId slot = 0;                       // the bound session's slot
    std::optional<uint32_t> replyTimeout;  // a longer wait for this one reply
};

// Argument checks: CKR_OK lets the call go on. They run before any lock, and
// may also prepare what the request will carry.
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
        context.logText(corvel::kLogTrace, trace);
    }
    if (!context.isInitialized()) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    return checks();
}

template <typename Checks, typename Body>
CK_RV unlockedCall(CContext& context, const char* trace, Checks checks, Body body)
{
    const CK_RV entered = enterCall(context, trace, checks);
    return entered != CKR_OK ? entered : body();
}

template <typename Checks, typename Body>
CK_RV lockedCall(CContext& context, const char* trace, Checks checks, Body body)
{
    const CK_RV entered = enterCall(context, trace, checks);
    if (entered != CKR_OK) {
        return entered;
    }
    std::lock_guard<std::mutex> lock(CContext::libraryMutex());
    return body();
}

// Fills the request, exchanges it with the token of slot, reads the reply.
template <typename Fill, typename Finish>
CK_RV completeCall(CContext& context, CK_SLOT_ID slot, TokenCall& call, Fill& fill, Finish& finish)
{
    fill(call);
    context.callToken(slot, call.request, call.response, false, call.replyTimeout);
    return finish(call);
}

// Binds the session (CKR_SESSION_HANDLE_INVALID, and nothing sent, for a
// handle the library does not hold), then fill, one exchange and finish.
template <typename Fill = decltype(kNoFields), typename Finish = decltype(kTokenResult)>
CK_RV exchangeOnSession_inlock(CContext& context, CK_SESSION_HANDLE hSession, FunctionId function,
                               Fill fill = kNoFields, Finish finish = kTokenResult)
{
    TokenCall call;
    call.request.function = function;
    if (const CK_RV bound = context.bindSession(hSession, call.request, call.slot); bound != CKR_OK) {
        return bound;
    }
    return completeCall(context, static_cast<CK_SLOT_ID>(call.slot), call, fill, finish);
}

// The same on a slot, for requests that name no session. An unknown slot
// fails in the exchange ("Port not found").
template <typename Fill = decltype(kNoFields), typename Finish = decltype(kTokenResult)>
CK_RV exchangeOnSlot(CContext& context, CK_SLOT_ID slotID, FunctionId function, Fill fill = kNoFields,
                     Finish finish = kTokenResult)
{
    TokenCall call;
    call.request.function = function;
    return completeCall(context, slotID, call, fill, finish);
}

// A function that sends one request on a session: every function of the
// object and cryptographic families, login and the PIN functions.
template <typename Checks = decltype(kNoChecks), typename Fill = decltype(kNoFields),
          typename Finish = decltype(kTokenResult)>
CK_RV sessionCall(CContext& context, const char* trace, CK_SESSION_HANDLE hSession, FunctionId function,
                  Checks checks = kNoChecks, Fill fill = kNoFields, Finish finish = kTokenResult)
{
    return lockedCall(context, trace, checks,
                      [&] { return exchangeOnSession_inlock(context, hSession, function, fill, finish); });
}

}  // namespace vexa::pkcs11
