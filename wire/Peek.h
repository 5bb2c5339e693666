#pragma once
// A look at a message in passing, for a broker between the library and a
// token: the few fields that say what a call does to the token's sessions,
// read without decoding byte strings or lists and without allocating.
#include <cstddef>
#include <cstdint>
#include <optional>

namespace vexa::wire {

struct RequestPeek {
    uint32_t function = 0;
    std::optional<uint32_t> session;
};

struct ReplyPeek {
    uint32_t rv = 0;
    std::optional<uint32_t> handle;
};

// Nothing when the bytes are not an RpcRequest (or RpcResponse): a required
// field missing, a field cut short, a wire type the schema does not have
// for its tag. Byte strings and lists are skipped unread, so a message whose
// lists hold broken entries still peeks.
std::optional<RequestPeek> peekRequest(const uint8_t* message, size_t length);
std::optional<ReplyPeek> peekReply(const uint8_t* message, size_t length);

}  // namespace vexa::wire
