#include "TokenEventLog.h"

#include "FileStore.h"

namespace vexa::sim::engine {

CEventLog::CEventLog(std::string path, size_t capacity) : m_path(std::move(path)), m_capacity(capacity)
{
    if (auto content = readFile(m_path)) {
        m_text.assign(content->begin(), content->end());
    }
    dropOldest();
}

void CEventLog::add(const std::string& stamp, const std::string& event)
{
    std::string line = stamp + " " + event;
    if (line.size() + 1 > m_capacity) {
        line.resize(m_capacity - 1);
    }
    m_text += line + "\n";
    dropOldest();
    // A lost log line is no reason to fail the operation it records.
    writeFileAtomic(m_path, Bytes(m_text.begin(), m_text.end()));
}

void CEventLog::dropOldest()
{
    while (m_text.size() > m_capacity) {
        auto eol = m_text.find('\n');
        m_text.erase(0, eol == std::string::npos ? m_text.size() : eol + 1);
    }
}

}  // namespace vexa::sim::engine
