#pragma once
#include <cstdint>
#include <vector>

#include "TokenDescription.h"

namespace vexa::sim {

// HID report descriptor of a token. A u2f token has unnumbered 64-byte input
// and output reports in the FIDO usage page; a reportid token has output
// report 1 and input report 2 of 63 bytes each in a vendor page. Both also
// declare a second, empty top-level collection in another vendor page, so a
// host lists each token once per top-level usage (twice).
std::vector<uint8_t> reportDescriptor(Framing framing);

}  // namespace vexa::sim
