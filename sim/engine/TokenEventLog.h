#pragma once
// What the token did, as time-stamped text lines. A token's memory is small:
// only the newest lines that fit into one reply are kept, so the whole log can
// always be read in one call.
#include <string>

#include "Limits.h"

namespace vexa::sim::engine {

class CEventLog {
public:
    // Loads the lines kept at `path` (none when the file is missing).
    explicit CEventLog(std::string path, size_t capacity = kMaxOutput);

    void add(const std::string& stamp, const std::string& event);
    const std::string& text() const { return m_text; }

private:
    void dropOldest();

    std::string m_path;
    size_t m_capacity;
    std::string m_text;
};

}  // namespace vexa::sim::engine
