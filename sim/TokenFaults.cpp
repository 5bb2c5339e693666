#include "TokenFaults.h"

namespace vexa::sim {

TokenFaults::Fault TokenFaults::take() {
    if (stalled_)
        return {Kind::Stall, 0};
    const int code = errorCode_.exchange(kNoError);
    if (code != kNoError)
        return {Kind::Error, uint8_t(code)};
    if (garble_.exchange(false))
        return {Kind::Garble, 0};
    return {};
}

}  // namespace vexa::sim
