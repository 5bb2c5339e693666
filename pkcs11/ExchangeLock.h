#pragma once
#include <p11-kit/pkcs11.h>

#include <boost/interprocess/sync/file_lock.hpp>
#include <memory>
#include <mutex>
#include <string>

namespace vexa::pkcs11 {

// Surrounds each write/read pair with a token: the process's exchange mutex
// (OS locking) or the application's mutex callbacks, then, when configured,
// an exclusive lock on a file shared by every process using the same path.
class CExchangeLock {
public:
    CExchangeLock() = default;
    ~CExchangeLock();
    CExchangeLock(const CExchangeLock&) = delete;
    CExchangeLock& operator=(const CExchangeLock&) = delete;

    // Forgets the locking chosen by the previous C_Initialize.
    void clearLocking();
    void useOsLocking();
    // Creates the application's mutex with CreateMutex; CKR_CANT_LOCK when it fails.
    CK_RV useApplicationLocking(const CK_C_INITIALIZE_ARGS& args);
    // Destroys the application's mutex, if one was created.
    void destroyApplicationMutex();
    bool usesOsLocking() const { return m_osLocking; }

    // Opens path (which must exist) as the lock file; throws
    // boost::interprocess::interprocess_exception when it cannot.
    void openLockFile(const std::string& path);
    bool lockFileInUse() const { return m_lockFile != nullptr; }

    // False when the application's LockMutex refuses; nothing is held then.
    // Throws interprocess_exception when the lock file fails, holding nothing.
    bool acquire();
    // Releases every part even when one fails, then throws the first failure.
    void release();

private:
    void unlockMutexes();

    std::mutex m_exchangeMutex;  // guards the transports' write/read pairs under OS locking
    bool m_osLocking = false;
    bool m_applicationLocking = false;
    CK_DESTROYMUTEX m_destroyMutex = nullptr;
    CK_LOCKMUTEX m_lockMutex = nullptr;
    CK_UNLOCKMUTEX m_unlockMutex = nullptr;
    void* m_applicationMutex = nullptr;
    std::unique_ptr<boost::interprocess::file_lock> m_lockFile;
};

// Holds the exchange lock for one scope when acquire() succeeds.
class ExchangeGuard {
public:
    explicit ExchangeGuard(CExchangeLock& lock) : m_lock(lock), m_held(lock.acquire()) {}
    ~ExchangeGuard();
    ExchangeGuard(const ExchangeGuard&) = delete;
    ExchangeGuard& operator=(const ExchangeGuard&) = delete;

    bool held() const { return m_held; }
    // Releases now, letting a release failure reach the caller.
    void release();

private:
    CExchangeLock& m_lock;
    bool m_held;
};

}  // namespace vexa::pkcs11
