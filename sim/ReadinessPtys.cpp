#include "ReadinessPtys.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>
#include <stdexcept>

#include "SimLog.h"

namespace vexa::sim {
namespace {

constexpr int kDrainWaitMs = 1000;
constexpr uint32_t kWatched = IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE;

std::runtime_error systemError(const std::string& what)
{
    return std::runtime_error(what + ": " + std::strerror(errno));
}

std::string deviceNumber(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) < 0) {
        throw systemError("cannot stat pty");
    }
    return std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
}

std::string readFile(const std::string& path)
{
    std::string text;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return text;
    }
    char chunk[512];
    for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;) {
        text.append(chunk, size_t(n));
    }
    ::close(fd);
    return text;
}

bool writeFile(const std::string& path, const std::string& text)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    const bool written = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    ::close(fd);
    return written;
}

bool copyLink(const std::string& from, const std::string& to, const char* name)
{
    char target[PATH_MAX];
    const ssize_t n = ::readlink((from + "/" + name).c_str(), target, sizeof target - 1);
    if (n < 0) {
        return false;
    }
    target[n] = '\0';
    return ::symlink(target, (to + "/" + name).c_str()) == 0;
}

// The uevent text with KEY=value replacing the line of that key.
std::string withProperty(const std::string& uevent, const std::string& key, const std::string& value)
{
    std::string out;
    size_t start = 0;
    while (start < uevent.size()) {
        size_t end = uevent.find('\n', start);
        end = end == std::string::npos ? uevent.size() : end + 1;
        const std::string line = uevent.substr(start, end - start);
        out += line.compare(0, key.size() + 1, key + "=") == 0 ? key + "=" + value + "\n" : line;
        start = end;
    }
    return out;
}

void makeRaw(int fd)
{
    termios mode{};
    if (::tcgetattr(fd, &mode) == 0) {
        ::cfmakeraw(&mode);
        ::tcsetattr(fd, TCSANOW, &mode);
    }
}

}  // namespace

CReadinessPtys::CReadinessPtys(std::string root, std::string devnode, std::string sysfsDevice)
    : m_root(std::move(root)), m_devnode(std::move(devnode)), m_sysfsDevice(std::move(sysfsDevice))
{
    m_inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_inotify < 0) {
        throw systemError("inotify");
    }
}

CReadinessPtys::~CReadinessPtys()
{
    for (auto& [id, pty] : m_ptys) {
        closePty(pty);
    }
    ::close(m_inotify);
}

void CReadinessPtys::adopt(int masterFd)
{
    const std::string node = m_root + m_devnode;
    char target[PATH_MAX];
    const ssize_t n = ::readlink(node.c_str(), target, sizeof target - 1);
    if (n < 0) {
        throw systemError("no pty behind " + node);
    }
    target[n] = '\0';
    m_target = addPty(masterFd, false, target);
    m_firstNumber = deviceNumber(m_ptys.at(m_target).drain);
}

CReadinessPtys::Id CReadinessPtys::addPty(int master, bool ownsMaster, const std::string& path)
{
    Pty pty;
    pty.master = master;
    pty.ownsMaster = ownsMaster;
    pty.path = path;
    // Opened before the watch exists, so only clients' opens are counted.
    pty.drain = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty.drain < 0) {
        const std::runtime_error error = systemError("cannot open " + path);
        closePty(pty);
        throw error;
    }
    makeRaw(pty.drain);
    try {
        publishNumber(pty, deviceNumber(pty.drain));
        pty.watch = ::inotify_add_watch(m_inotify, path.c_str(), kWatched);
        if (pty.watch < 0) {
            throw systemError("cannot watch " + path);
        }
    } catch (...) {
        closePty(pty);
        throw;
    }
    const Id id = m_nextId++;
    m_byWatch[pty.watch] = id;
    m_ptys.emplace(id, std::move(pty));
    return id;
}

void CReadinessPtys::publishNumber(Pty& pty, const std::string& number)
{
    std::string device = m_sysfsDevice;
    if (!m_ptys.empty()) {
        // An alias next to the hidraw device: same links, same properties,
        // this number. Without a class link, enumeration does not list it.
        pty.alias = m_sysfsDevice + ".pty" + std::to_string(m_nextId);
        const std::string original = m_root + m_sysfsDevice;
        const std::string alias = m_root + pty.alias;
        std::string uevent = readFile(original + "/uevent");
        const size_t colon = number.find(':');
        uevent =
            withProperty(withProperty(uevent, "MAJOR", number.substr(0, colon)), "MINOR", number.substr(colon + 1));
        if (::mkdir(alias.c_str(), 0755) < 0 || !writeFile(alias + "/uevent", uevent) ||
            !writeFile(alias + "/dev", number + "\n") || !copyLink(original, alias, "device") ||
            !copyLink(original, alias, "subsystem")) {
            throw systemError("cannot make the sysfs alias " + alias);
        }
        device = pty.alias;
    }
    const std::string link = m_root + "/sys/dev/char/" + number;
    ::unlink(link.c_str());
    if (::symlink(("../.." + device.substr(4)).c_str(), link.c_str()) < 0) {
        throw systemError("cannot link " + link);
    }
    pty.numberLink = link;
}

void CReadinessPtys::withdrawNumber(Pty& pty)
{
    if (!pty.numberLink.empty()) {
        ::unlink(pty.numberLink.c_str());
        pty.numberLink.clear();
    }
    if (!pty.alias.empty()) {
        const std::string alias = m_root + pty.alias;
        for (const char* name : {"uevent", "dev", "device", "subsystem"}) {
            ::unlink((alias + "/" + name).c_str());
        }
        ::rmdir(alias.c_str());
        pty.alias.clear();
    }
}

void CReadinessPtys::openPty()
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char path[PATH_MAX];
    if (master < 0 || ::grantpt(master) < 0 || ::unlockpt(master) < 0 || ::ptsname_r(master, path, sizeof path) != 0) {
        const std::runtime_error error = systemError("cannot make a pty");
        if (master >= 0) {
            ::close(master);
        }
        throw error;
    }
    pointNodeAt(addPty(master, true, path));
}

void CReadinessPtys::pointNodeAt(Id id)
{
    // A rename replaces the link at once: an open finds the old or the new pty.
    const std::string node = m_root + m_devnode;
    const std::string next = node + ".next";
    ::unlink(next.c_str());
    if (::symlink(m_ptys.at(id).path.c_str(), next.c_str()) < 0 || ::rename(next.c_str(), node.c_str()) < 0) {
        throw systemError("cannot point " + node + " at " + m_ptys.at(id).path);
    }
    m_target = id;
}

void CReadinessPtys::rotateIfTaken()
{
    const Pty& target = m_ptys.at(m_target);
    if (m_gone || (target.opens == 0 && target.handles == 0)) {
        return;
    }
    try {
        openPty();
    } catch (const std::exception& e) {
        // The next client shares the current pty; it still works, only its
        // readiness is not its own.
        logVerbose("%s: %s", m_devnode.c_str(), e.what());
    }
}

std::vector<CReadinessPtys::Closed> CReadinessPtys::closedSinceLastLook()
{
    alignas(inotify_event) char buffer[4096];
    std::vector<Id> touched;
    for (;;) {
        const ssize_t n = ::read(m_inotify, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += ssize_t(sizeof(inotify_event) + event->len);
            if (event->mask & IN_Q_OVERFLOW) {
                logVerbose("%s: open and close events lost", m_devnode.c_str());
            }
            auto found = m_byWatch.find(event->wd);
            if (found == m_byWatch.end()) {
                continue;
            }
            Pty& pty = m_ptys.at(found->second);
            if (event->mask & IN_OPEN) {
                ++pty.opens;
                m_lastOpened = found->second;
            } else if (event->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
                pty.opens = std::max(0, pty.opens - 1);
                touched.push_back(found->second);
            }
        }
    }
    for (Id id : touched) {
        retireIfUnused(id);
    }
    rotateIfTaken();
    std::vector<Closed> closed;
    for (const auto& [id, pty] : m_ptys) {
        if (pty.handles > pty.opens) {
            closed.push_back({id, pty.handles - pty.opens, pty.opens == 0});
        }
    }
    return closed;
}

CReadinessPtys::Id CReadinessPtys::claim()
{
    // Ptys are handed out in id order, so the oldest one with an open nobody
    // has claimed yet is this client's. When there is none, inotify merged
    // this client's open with an earlier one on the same pty (it does so with
    // identical events not read yet): both opened the pty whose open was
    // seen last, before the node moved on.
    std::optional<Id> chosen;
    for (const auto& [id, pty] : m_ptys) {
        if (pty.opens > pty.handles) {
            chosen = id;
            break;
        }
    }
    if (!chosen) {
        chosen = m_ptys.count(m_lastOpened) ? m_lastOpened : m_target;
        ++m_ptys.at(*chosen).opens;  // the open inotify merged away
    }
    Pty& pty = m_ptys.at(*chosen);
    if (++pty.handles > 1) {
        logVerbose("%s: %d handles opened at once share %s", m_devnode.c_str(), pty.handles, pty.path.c_str());
    }
    rotateIfTaken();
    return *chosen;
}

void CReadinessPtys::release(Id id)
{
    auto it = m_ptys.find(id);
    if (it == m_ptys.end()) {
        return;
    }
    it->second.handles = std::max(0, it->second.handles - 1);
    retireIfUnused(id);
}

size_t CReadinessPtys::level(Id id) const
{
    auto it = m_ptys.find(id);
    return it == m_ptys.end() ? 0 : it->second.level;
}

std::string CReadinessPtys::path(Id id) const
{
    auto it = m_ptys.find(id);
    return it == m_ptys.end() ? std::string() : it->second.path;
}

void CReadinessPtys::retireIfUnused(Id id)
{
    auto it = m_ptys.find(id);
    if (id == m_target || it == m_ptys.end() || it->second.opens > 0 || it->second.handles > 0) {
        return;
    }
    m_byWatch.erase(it->second.watch);
    closePty(it->second);
    m_ptys.erase(it);
}

void CReadinessPtys::closePty(Pty& pty)
{
    if (pty.watch >= 0) {
        ::inotify_rm_watch(m_inotify, pty.watch);
    }
    if (pty.drain >= 0) {
        ::close(pty.drain);
    }
    if (pty.ownsMaster && pty.master >= 0) {
        ::close(pty.master);
    }
    withdrawNumber(pty);
    pty = Pty{};
}

void CReadinessPtys::setLevel(Id id, size_t count)
{
    auto it = m_ptys.find(id);
    if (m_gone || it == m_ptys.end()) {
        return;
    }
    Pty& pty = it->second;
    if (count > pty.level) {
        write(pty, count - pty.level);
    } else if (count < pty.level) {
        drain(pty, pty.level - count);
    }
    pty.level = count;
}

void CReadinessPtys::deviceGone()
{
    m_gone = true;
    for (auto& [id, pty] : m_ptys) {
        write(pty, 1);
        withdrawNumber(pty);
    }
}

void CReadinessPtys::write(Pty& pty, size_t count)
{
    const std::string bytes(count, 'r');
    if (::write(pty.master, bytes.data(), count) != ssize_t(count)) {
        logVerbose("%s: pty write failed: %s", m_devnode.c_str(), std::strerror(errno));
    }
}

void CReadinessPtys::drain(Pty& pty, size_t count)
{
    // The pty passes bytes from master to slave asynchronously, so wait for
    // them; the bound keeps a miscount from hanging every client.
    std::string bytes(count, '\0');
    size_t done = 0;
    while (done < count) {
        pollfd pfd{pty.drain, POLLIN, 0};
        if (::poll(&pfd, 1, kDrainWaitMs) <= 0) {
            logVerbose("%s: pty byte missing", m_devnode.c_str());
            break;
        }
        const ssize_t n = ::read(pty.drain, bytes.data() + done, count - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += size_t(n);
    }
}

}  // namespace vexa::sim
