#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace vexa::sim {

// Appends one line per message a token received or sent:
//   SERIAL DIRECTION LENGTH HEX
// DIRECTION is "in" (request), "out" (reply) or "error" (ERROR frame, HEX is
// the code); HEX is "-" for an empty message. Each line is one write(2) on an
// O_APPEND descriptor, so lines from several tokens never mix.
class CTrace {
public:
    explicit CTrace(const std::string& path);  // throws std::runtime_error
    ~CTrace();
    CTrace(const CTrace&) = delete;
    CTrace& operator=(const CTrace&) = delete;

    void record(const std::string& serial, const char* direction, const std::vector<uint8_t>& message);

private:
    int m_fd;
};

}  // namespace vexa::sim
