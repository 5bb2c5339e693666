#include "DescriptorReserve.h"

#include <fcntl.h>
#include <unistd.h>

namespace vexa::daemon {

std::shared_mutex& descriptorOpeners()
{
    static std::shared_mutex openers;  // guards the process's free descriptors while a reserve is lent
    return openers;
}

CDescriptorReserve::CDescriptorReserve(size_t count) : m_count(count)
{
    std::unique_lock<std::shared_mutex> exclusive(descriptorOpeners());
    refill();
}

CDescriptorReserve::~CDescriptorReserve() { release(); }

void CDescriptorReserve::release()
{
    for (const int fd : m_held) {
        close(fd);
    }
    m_held.clear();
}

// Copies of one descriptor: no file is opened for each, so nothing that
// watches opens (an LD_PRELOAD that emulates devices) adds descriptors of its
// own to the reserve.
void CDescriptorReserve::refill()
{
    if (m_held.empty() && m_count != 0) {
        const int first = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (first < 0) {
            return;
        }
        m_held.push_back(first);
    }
    while (m_held.size() < m_count) {
        const int copy = fcntl(m_held.front(), F_DUPFD_CLOEXEC, 0);
        if (copy < 0) {
            return;
        }
        m_held.push_back(copy);
    }
}

}  // namespace vexa::daemon
