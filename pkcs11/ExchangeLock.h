#pragma once
#include <p11-kit/pkcs11.h>

#include <chrono>
#include <memory>
#include <mutex>

#include "LockFile.h"

namespace vexa::pkcs11 {

// How C_Initialize was asked to lock; chosen anew by each C_Initialize.
struct LockingChoice {
    // The application gave mutex callbacks without CKF_OS_LOCKING_OK: each
    // token's exchanges are kept apart by a mutex it makes with CreateMutex.
    // Otherwise by a mutex of the library's own.
    bool application = false;
    CK_CREATEMUTEX createMutex = nullptr;
    CK_DESTROYMUTEX destroyMutex = nullptr;
    CK_LOCKMUTEX lockMutex = nullptr;
    CK_UNLOCKMUTEX unlockMutex = nullptr;
};

// Surrounds the exchanges with one token: a mutex of this process (the
// library's own, or the application's), then, when a lock file is
// configured, the token's part of it, released 1 ms after the exchange.
class CExchangeLock {
public:
    // A lock as the choice asks for; CKR_CANT_LOCK (and none) when the
    // application's CreateMutex fails.
    static CK_RV make(const LockingChoice& choice, std::unique_ptr<CExchangeLock>& lock);
    // With the library's own mutex.
    CExchangeLock();
    // Destroys the application's mutex.
    ~CExchangeLock();
    CExchangeLock(const CExchangeLock&) = delete;
    CExchangeLock& operator=(const CExchangeLock&) = delete;

    void useLockFile(std::unique_ptr<CLockFileToken> lockFile);
    // The lock file's path; empty without one.
    std::string lockFilePath() const;

    enum class Outcome {
        Held,
        Refused,       // the application's LockMutex refused; nothing is held
        LockFileBusy,  // another process kept the token's part of the lock file; nothing is held
    };
    // Waits at most lockFileWait for the lock file. Throws std::system_error
    // when the lock file fails, holding nothing.
    Outcome acquire(std::chrono::milliseconds lockFileWait);
    // Releases every part even when one fails, then throws the first failure.
    void release();
    // In a child process after fork: closes the lock file, leaves the
    // mutexes alone.
    void abandon();

private:
    explicit CExchangeLock(const LockingChoice& choice, void* applicationMutex);
    void unlockMutex();

    std::mutex m_mutex;  // keeps the token's exchanges one at a time, unless the application's mutex does
    const LockingChoice m_choice;
    void* m_applicationMutex = nullptr;  // made by the application's CreateMutex
    std::unique_ptr<CLockFileToken> m_lockFile;
};

}  // namespace vexa::pkcs11
