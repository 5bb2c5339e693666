#pragma once
// What each function's request and reply carry: the generic fields of the
// schema (data2, handle2, value, ...) mean something else in every call, and
// this table says what. The library fills requests by it, the token reads
// them by it, and a broker in the middle learns from it which calls open
// and close sessions.
#include <cstddef>
#include <cstdint>

#include "vexa.pb.h"
#include "wire/Functions.h"

namespace vexa::wire {

// What a call goes to: one of the token's sessions (the request names it in
// `session`) or the token as a whole (no `session`).
enum class Target : uint8_t { Session, Slot };

// The argument fields of RpcRequest, by their tags (`function` and `session`
// are in every row's id and target).
enum class RequestField : uint8_t {
    Mechanism = RpcRequest_mechanism_tag,
    Data = RpcRequest_data_tag,
    Template = RpcRequest_template__tag,
    Handle = RpcRequest_handle_tag,
    LengthOnly = RpcRequest_lengthOnly_tag,
    Value = RpcRequest_value_tag,
    Template2 = RpcRequest_template2_tag,
    Data2 = RpcRequest_data2_tag,
    OutputLength = RpcRequest_outputLength_tag,
    Handle2 = RpcRequest_handle2_tag,
    TokenConfig = RpcRequest_tokenConfig_tag,
};

// The result fields of RpcResponse, by their tags (`rv` is in every reply).
enum class ReplyField : uint8_t {
    Handle = RpcResponse_handle_tag,
    Output = RpcResponse_output_tag,
    OutputLength = RpcResponse_outputLength_tag,
    Handle2 = RpcResponse_handle2_tag,
    Attributes = RpcResponse_attributes_tag,
    SessionInfo = RpcResponse_sessionInfo_tag,
    TokenInfo = RpcResponse_tokenInfo_tag,
    TokenConfig = RpcResponse_tokenConfig_tag,
};

// A set of fields, one bit per tag.
using FieldSet = uint32_t;
constexpr FieldSet bitOf(RequestField field) { return FieldSet{1} << static_cast<unsigned>(field); }
constexpr FieldSet bitOf(ReplyField field) { return FieldSet{1} << static_cast<unsigned>(field); }

// What a call does to the token's sessions, for whoever keeps track of them.
enum SessionEffect : uint8_t {
    kNoSessionEffect = 0,
    kOpensSession = 1,       // the reply's `handle` is the new session's number
    kClosesSession = 2,      // the session named in `session` ends
    kClosesAllSessions = 4,  // every session of the token ends
};

struct RequestUse {
    RequestField field;
    const char* meaning;
};

struct ReplyUse {
    ReplyField field;
    const char* meaning;
    bool needed;  // present in every reply whose rv is CKR_OK
};

inline constexpr size_t kMaxRequestUses = 4;
inline constexpr size_t kMaxReplyUses = 2;

// One function. Unused entries of the lists have a null meaning.
struct Call {
    FunctionId id;
    const char* name;  // "C_Sign", "u32GetTokenConfig"
    Target target;
    uint8_t effects;  // SessionEffect bits
    RequestUse request[kMaxRequestUses];
    ReplyUse reply[kMaxReplyUses];

    constexpr bool namesSession() const { return target == Target::Session; }
    constexpr bool has(SessionEffect effect) const { return (effects & effect) != 0; }
    // The argument fields it may carry.
    constexpr FieldSet carries() const
    {
        FieldSet set = 0;
        for (const RequestUse& use : request) {
            set |= use.meaning != nullptr ? bitOf(use.field) : 0;
        }
        return set;
    }
    // The result fields it may read, and those that every successful reply has.
    constexpr FieldSet uses() const { return replyFields(false); }
    constexpr FieldSet needs() const { return replyFields(true); }

private:
    constexpr FieldSet replyFields(bool neededOnly) const
    {
        FieldSet set = 0;
        for (const ReplyUse& use : reply) {
            set |= use.meaning != nullptr && (use.needed || !neededOnly) ? bitOf(use.field) : 0;
        }
        return set;
    }
};

// The call of a function number, or null for a number that names none.
const Call* findCall(uint32_t function);

}  // namespace vexa::wire
