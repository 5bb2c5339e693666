#include "LineBuffer.h"

namespace vexa::sim {

std::vector<std::string> CLineBuffer::feed(const char* data, size_t length)
{
    std::vector<std::string> lines;
    for (size_t i = 0; i < length; ++i) {
        if (data[i] == '\n') {
            complete(lines);
        } else if (m_pending.size() < kMaxLine) {
            m_pending += data[i];
        } else {
            m_overflow = true;
        }
    }
    return lines;
}

std::vector<std::string> CLineBuffer::finish()
{
    std::vector<std::string> lines;
    if (!m_pending.empty() || m_overflow) {
        complete(lines);
    }
    return lines;
}

void CLineBuffer::complete(std::vector<std::string>& lines)
{
    if (!m_pending.empty() && m_pending.back() == '\r') {
        m_pending.pop_back();
    }
    lines.push_back(m_overflow ? std::string(kTooLong) : m_pending);
    m_pending.clear();
    m_overflow = false;
}

}  // namespace vexa::sim
