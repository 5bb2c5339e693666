#include "ExchangeLock.h"

#include <chrono>
#include <exception>
#include <thread>

namespace vexa::pkcs11 {

CExchangeLock::~CExchangeLock() = default;

void CExchangeLock::clearLocking()
{
    m_osLocking = false;
    m_applicationLocking = false;
}

void CExchangeLock::useOsLocking() { m_osLocking = true; }

CK_RV CExchangeLock::useApplicationLocking(const CK_C_INITIALIZE_ARGS& args)
{
    void* mutex = nullptr;
    if (args.CreateMutex(&mutex) != CKR_OK) {
        return CKR_CANT_LOCK;
    }
    m_destroyMutex = args.DestroyMutex;
    m_lockMutex = args.LockMutex;
    m_unlockMutex = args.UnlockMutex;
    m_applicationMutex = mutex;
    m_applicationLocking = true;
    return CKR_OK;
}

void CExchangeLock::destroyApplicationMutex()
{
    if (m_applicationLocking && m_applicationMutex != nullptr) {
        m_destroyMutex(m_applicationMutex);
    }
    m_applicationMutex = nullptr;
    m_applicationLocking = false;
}

void CExchangeLock::openLockFile(const std::string& path)
{
    auto lock = std::make_unique<boost::interprocess::file_lock>(path.c_str());
    m_lockFile = std::move(lock);
}

bool CExchangeLock::acquire()
{
    if (m_osLocking) {
        m_exchangeMutex.lock();
    }
    if (m_applicationLocking && m_lockMutex(m_applicationMutex) != CKR_OK) {
        if (m_osLocking) {
            m_exchangeMutex.unlock();
        }
        return false;
    }
    if (m_lockFile != nullptr) {
        try {
            m_lockFile->lock();
        } catch (...) {
            unlockMutexes();
            throw;
        }
    }
    return true;
}

void CExchangeLock::release()
{
    std::exception_ptr failure;
    if (m_lockFile != nullptr) {
        // The token gets the same pause between exchanges of different
        // processes that the daemon gives between its clients.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        try {
            m_lockFile->unlock();
        } catch (...) {
            failure = std::current_exception();
        }
    }
    unlockMutexes();
    if (failure) {
        std::rethrow_exception(failure);
    }
}

void CExchangeLock::unlockMutexes()
{
    if (m_osLocking) {
        m_exchangeMutex.unlock();
    }
    if (m_applicationLocking) {
        (void)m_unlockMutex(m_applicationMutex);
    }
}

ExchangeGuard::~ExchangeGuard()
{
    if (m_held) {
        try {
            m_lock.release();
        } catch (...) {
            // A destructor must not throw; every part is released regardless.
        }
    }
}

void ExchangeGuard::release()
{
    if (m_held) {
        m_held = false;
        m_lock.release();
    }
}

}  // namespace vexa::pkcs11
