#include "wire/Peek.h"

#include <pb_decode.h>

#include "vexa.pb.h"

namespace vexa::wire {

// nanopb skips callback fields that have no decode function, and the
// schema's other fields are fixed-size members: decoding onto the stack
// allocates nothing.
std::optional<RequestPeek> peekRequest(const uint8_t* message, size_t length)
{
    RpcRequest request = RpcRequest_init_zero;
    pb_istream_t stream = pb_istream_from_buffer(message, length);
    if (!pb_decode(&stream, RpcRequest_fields, &request)) {
        return std::nullopt;
    }
    RequestPeek peek;
    peek.function = request.function;
    if (request.has_session) {
        peek.session = request.session;
    }
    return peek;
}

std::optional<ReplyPeek> peekReply(const uint8_t* message, size_t length)
{
    RpcResponse response = RpcResponse_init_zero;
    pb_istream_t stream = pb_istream_from_buffer(message, length);
    if (!pb_decode(&stream, RpcResponse_fields, &response)) {
        return std::nullopt;
    }
    ReplyPeek peek;
    peek.rv = response.rv;
    if (response.has_handle) {
        peek.handle = response.handle;
    }
    return peek;
}

}  // namespace vexa::wire
