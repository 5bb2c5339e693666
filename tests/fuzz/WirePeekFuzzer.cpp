// fuzz-wire-peek: the look a broker takes at each message it passes on
// between the library and a token.
//
// Input: byte 0 says which message follows (bit 0: a reply, else a
// request); the rest is the message. Whatever it is, the peek must not read
// beyond it; a message that decodes in full must peek, and show what the
// full decoding shows.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "wire/Codec.h"
#include "wire/Peek.h"

namespace {

using vexa::wire::Bytes;

void require(bool holds, const char* what)
{
    if (!holds) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

void checkRequest(const Bytes& message)
{
    const auto peeked = vexa::wire::peekRequest(message.data(), message.size());
    vexa::wire::Request request;
    if (!vexa::wire::decodeRequest(message, request)) {
        return;
    }
    require(peeked.has_value(), "a request that decodes peeks");
    require(peeked->function == request.function, "the peek shows the function");
    require(peeked->session == request.session, "the peek shows the session");
}

void checkReply(const Bytes& message)
{
    const auto peeked = vexa::wire::peekReply(message.data(), message.size());
    vexa::wire::Response response;
    if (!vexa::wire::decodeResponse(message, response)) {
        return;
    }
    require(peeked.has_value(), "a reply that decodes peeks");
    require(peeked->rv == response.rv, "the peek shows rv");
    require(peeked->handle == response.handle, "the peek shows the handle");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) {
        return 0;
    }
    // A copy of exactly the message, so that a read beyond it is caught.
    const Bytes message(data + 1, data + size);
    if ((data[0] & 1) != 0) {
        checkReply(message);
    } else {
        checkRequest(message);
    }
    return 0;
}
