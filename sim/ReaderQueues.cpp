#include "ReaderQueues.h"

namespace vexa::sim {

CReaderQueues::Id CReaderQueues::add()
{
    const Id id = m_nextId++;
    m_readers.emplace(id, Reader{});
    return id;
}

void CReaderQueues::remove(Id id) { m_readers.erase(id); }

size_t CReaderQueues::size(Id id) const
{
    auto it = m_readers.find(id);
    return it == m_readers.end() ? 0 : it->second.reports.size();
}

bool CReaderQueues::stopped(Id id) const
{
    auto it = m_readers.find(id);
    return it != m_readers.end() && it->second.stopped;
}

std::optional<Report> CReaderQueues::take(Id id)
{
    auto it = m_readers.find(id);
    if (it == m_readers.end() || it->second.reports.empty()) {
        return std::nullopt;
    }
    Reader& reader = it->second;
    Report report = std::move(reader.reports.front());
    reader.reports.pop_front();
    // Reading shows the reader is alive: a later fill gets the full patience.
    reader.fullSince.reset();
    reader.stopped = false;
    return report;
}

std::optional<CReaderQueues::Clock::time_point> CReaderQueues::holdUntil(Clock::time_point now)
{
    std::optional<Clock::time_point> until;
    for (auto& [id, reader] : m_readers) {
        if (reader.stopped || reader.reports.size() < kCapacity) {
            continue;
        }
        if (!reader.fullSince) {
            reader.fullSince = now;
        }
        const Clock::time_point deadline = *reader.fullSince + m_patience;
        if (now >= deadline) {
            reader.stopped = true;
        } else if (!until || deadline < *until) {
            until = deadline;
        }
    }
    return until;
}

size_t CReaderQueues::push(const Report& report)
{
    size_t lost = 0;
    for (auto& [id, reader] : m_readers) {
        if (reader.reports.size() < kCapacity) {
            reader.reports.push_back(report);
        } else {
            ++lost;
        }
    }
    return lost;
}

}  // namespace vexa::sim
