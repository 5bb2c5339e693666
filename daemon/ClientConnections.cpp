#include "ClientConnections.h"

#include <sys/socket.h>

namespace vexa::daemon {

bool CClientConnections::admit(int fd)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_fds.size() >= m_limit) {
        return false;
    }
    m_fds.insert(fd);
    return true;
}

void CClientConnections::leave(int fd)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_fds.erase(fd);
}

void CClientConnections::hangUpAll()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const int fd : m_fds) {
        shutdown(fd, SHUT_RDWR);
    }
}

size_t CClientConnections::count()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_fds.size();
}

}  // namespace vexa::daemon
