#pragma once
// The token's clock: the host's clock plus an offset that bSetDateTime moves.
#include <cstdint>
#include <string>

namespace vexa::sim::engine {

class CTokenClock {
public:
    explicit CTokenClock(int64_t offset = 0);

    int64_t now() const;  // seconds since 1970 (UTC) on the token
    int64_t offset() const { return m_offset; }
    void set(int64_t secondsSince1970);

    // CK_TOKEN_INFO.utcTime: "YYYYMMDDhhmmss00".
    static std::string utcTime(int64_t t);
    // Event log stamp: "YYYY-MM-DD hh:mm:ss".
    static std::string stamp(int64_t t);

private:
    int64_t m_offset;
};

}  // namespace vexa::sim::engine
