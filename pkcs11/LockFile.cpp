#include "LockFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <thread>

namespace vexa::pkcs11 {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;

// A waiter looks again after this, doubling up to kLongestPause: soon enough
// to take a token as its holder lets it go, rarely enough to cost nothing.
constexpr microseconds kFirstPause{50};
constexpr microseconds kLongestPause{1000};
// How long a process that lets a token go waits for a waiter to take it: more
// than a waiter's longest pause.
constexpr microseconds kWaiterTurn{2 * kLongestPause};

flock byteLock(off_t offset, short type)
{
    flock lock{};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = offset;
    lock.l_len = 1;
    return lock;
}

}  // namespace

CLockFileToken::CLockFileToken(const std::string& path, SerialId serial)
    : m_path(path), m_token(static_cast<off_t>(serial) * 2), m_waiting(static_cast<off_t>(serial) * 2 + 1)
{
    m_fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (m_fd < 0) {
        throw std::system_error(errno, std::generic_category(), "Cannot open the lock file " + path);
    }
}

CLockFileToken::~CLockFileToken() { abandon(); }

void CLockFileToken::abandon()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

bool CLockFileToken::tryLock(off_t offset, short type)
{
    flock lock = byteLock(offset, type);
    for (;;) {
        if (::fcntl(m_fd, F_OFD_SETLK, &lock) == 0) {
            return true;
        }
        if (errno == EAGAIN || errno == EACCES) {
            return false;
        }
        if (errno != EINTR) {
            throw std::system_error(errno, std::generic_category(), "Cannot lock the lock file " + m_path);
        }
    }
}

void CLockFileToken::unlockByte(off_t offset)
{
    flock lock = byteLock(offset, F_UNLCK);
    while (::fcntl(m_fd, F_OFD_SETLK, &lock) != 0) {
        if (errno != EINTR) {
            throw std::system_error(errno, std::generic_category(), "Cannot unlock the lock file " + m_path);
        }
    }
}

bool CLockFileToken::isLockedByOthers(off_t offset, short type)
{
    flock lock = byteLock(offset, type);
    return ::fcntl(m_fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

bool CLockFileToken::lock(std::chrono::milliseconds wait)
{
    if (tryLock(m_token, F_WRLCK)) {
        return true;
    }
    const auto deadline = Clock::now() + wait;
    // Read locks never conflict with one another: every waiter gets in.
    const bool announced = tryLock(m_waiting, F_RDLCK);
    bool locked = false;
    try {
        for (microseconds pause = kFirstPause; !(locked = tryLock(m_token, F_WRLCK));
             pause = std::min(pause * 2, kLongestPause)) {
            const auto now = Clock::now();
            if (now >= deadline) {
                break;
            }
            std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
        }
    } catch (...) {
        if (announced) {
            unlockByte(m_waiting);
        }
        throw;
    }
    if (announced) {
        unlockByte(m_waiting);
    }
    return locked;
}

void CLockFileToken::unlock()
{
    unlockByte(m_token);
    if (isLockedByOthers(m_waiting, F_WRLCK)) {
        giveWaiterATurn();
    }
}

// Without this a process that calls again and again would take the token
// back within microseconds, every time, and a waiter that looks only now and
// then would hardly ever find it free.
void CLockFileToken::giveWaiterATurn()
{
    const auto end = Clock::now() + kWaiterTurn;
    while (!isLockedByOthers(m_token, F_WRLCK) && Clock::now() < end) {
        std::this_thread::sleep_for(kFirstPause);
    }
}

}  // namespace vexa::pkcs11
