#pragma once
// For vexa-sim-probe: a host that dies in the middle of writing a request.
#include <cstddef>
#include <string>

namespace vexa::test {

// Opens the token with hidapi, writes the first half of the reports of a
// request of `length` bytes in the token's framing ("u2f" or "reportid"),
// prints "half sent", and is killed (SIGKILL, by itself) once its standard
// input ends. Returns only on failure, with a message on standard error.
int sendHalfARequest(const std::string& serial, size_t length, const std::string& framing);

}  // namespace vexa::test
