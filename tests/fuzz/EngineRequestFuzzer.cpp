// fuzz-engine-request: the token engine's decoding of a request message, the
// first thing the simulated token does with what a host sends.
//
// The input is one request message. A message that decodes must survive the
// way back: encoded again it decodes to the same request, whose encoding is
// the same bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "Limits.h"
#include "Wire.h"

namespace {

using vexa::sim::engine::Bytes;
using vexa::sim::engine::Request;

void require(bool holds, const char* what)
{
    if (!holds) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const Bytes message(data, data + size);
    Request request;
    if (!vexa::sim::engine::decodeRequest(message, request)) {
        return 0;
    }
    require(size <= vexa::sim::engine::kMaxRequest, "no request beyond the limit decodes");
    Bytes encoded;
    if (!vexa::sim::engine::encodeRequest(request, encoded, vexa::sim::engine::kMaxRequest)) {
        return 0;
    }
    Request again;
    require(vexa::sim::engine::decodeRequest(encoded, again), "an encoded request decodes");
    Bytes reencoded;
    require(vexa::sim::engine::encodeRequest(again, reencoded, vexa::sim::engine::kMaxRequest),
            "a decoded request encodes");
    require(reencoded == encoded, "decoding and encoding agree");
    return 0;
}
