#include "TokenFaults.h"

namespace vexa::sim {

CTokenFaults::Fault CTokenFaults::take()
{
    if (m_stalled) {
        return {Kind::Stall, 0};
    }
    const int code = m_errorCode.exchange(kNoError);
    if (code != kNoError) {
        return {Kind::Error, uint8_t(code)};
    }
    if (m_garble.exchange(false)) {
        return {Kind::Garble, 0};
    }
    return {};
}

}  // namespace vexa::sim
