#include "ProcessWatcher.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <shared_mutex>
#include <system_error>
#include <thread>

#include "DaemonLog.h"
#include "DescriptorReserve.h"

namespace vexa::daemon {

CProcessWatcher& CProcessWatcher::daemonWide()
{
    static CProcessWatcher* const watcher = new CProcessWatcher;
    return *watcher;
}

namespace {

int OpenWakeUp()
{
    std::shared_lock<std::shared_mutex> opening(descriptorOpeners());
    return eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

int CopyOf(int fd)
{
    std::shared_lock<std::shared_mutex> opening(descriptorOpeners());
    return fcntl(fd, F_DUPFD_CLOEXEC, 0);
}

}  // namespace

CProcessWatcher::CProcessWatcher() : m_wake(OpenWakeUp()) {}

uint64_t CProcessWatcher::watch(int pidfd, Ended ended)
{
    if (m_wake < 0) {
        return 0;
    }
    const int copy = CopyOf(pidfd);
    if (copy < 0) {
        LogMessage(corvel::kLogError, "Cannot watch a client process: %s", std::strerror(errno));
        return 0;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_started) {
        try {
            std::thread([this] { run(); }).detach();
        } catch (const std::system_error& e) {
            LogMessage(corvel::kLogError, "Cannot start the client process watcher: %s", e.what());
            close(copy);
            return 0;
        }
        m_started = true;
    }
    const uint64_t handle = m_next++;
    m_entries.push_back({handle, copy, std::move(ended), false});
    wake();
    return handle;
}

void CProcessWatcher::forget(uint64_t handle)
{
    if (handle == 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    for (Entry& entry : m_entries) {
        if (entry.handle == handle) {
            // The watcher's thread may be waiting on the descriptor: it closes it.
            entry.forgotten = true;
            entry.ended = nullptr;
            wake();
            return;
        }
    }
}

void CProcessWatcher::wake()
{
    const uint64_t one = 1;
    (void)!write(m_wake, &one, sizeof one);
}

std::vector<pollfd> CProcessWatcher::waitList()
{
    std::vector<pollfd> list{{m_wake, POLLIN, 0}};
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const Entry& entry : m_entries) {
        list.push_back({entry.pidfd, POLLIN, 0});
    }
    return list;
}

std::vector<CProcessWatcher::Ended> CProcessWatcher::sweep(const std::vector<pollfd>& polled)
{
    std::vector<Ended> ended;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto entry = m_entries.begin(); entry != m_entries.end();) {
        bool done = entry->forgotten;
        for (size_t i = 1; i < polled.size() && !done; ++i) {
            done = polled[i].fd == entry->pidfd && polled[i].revents != 0;
        }
        if (!done) {
            ++entry;
            continue;
        }
        if (!entry->forgotten) {
            ended.push_back(std::move(entry->ended));
        }
        close(entry->pidfd);
        entry = m_entries.erase(entry);
    }
    return ended;
}

void CProcessWatcher::run()
{
    for (;;) {
        std::vector<pollfd> list = waitList();
        if (poll(list.data(), list.size(), -1) < 0 && errno != EINTR) {
            LogMessage(corvel::kLogError, "Watching client processes failed: %s", std::strerror(errno));
            return;
        }
        if (list[0].revents != 0) {
            uint64_t count = 0;
            (void)!read(m_wake, &count, sizeof count);
        }
        for (Ended& ended : sweep(list)) {
            ended();
        }
    }
}

}  // namespace vexa::daemon
