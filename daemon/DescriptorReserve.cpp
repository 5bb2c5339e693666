#include "DescriptorReserve.h"

#include <fcntl.h>
#include <unistd.h>

namespace vexa::daemon {

std::shared_mutex& DescriptorOpeners()
{
    static std::shared_mutex openers;  // guards the process's free descriptors while a reserve is lent
    return openers;
}

CDescriptorReserve::CDescriptorReserve(size_t count) : m_count(count)
{
    std::unique_lock<std::shared_mutex> exclusive(DescriptorOpeners());
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

void CDescriptorReserve::refill()
{
    while (m_held.size() < m_count) {
        const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return;
        }
        m_held.push_back(fd);
    }
}

}  // namespace vexa::daemon
