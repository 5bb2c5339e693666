#include "ExchangeLock.h"

#include <exception>
#include <thread>

namespace vexa::pkcs11 {

CK_RV CExchangeLock::make(const LockingChoice& choice, std::unique_ptr<CExchangeLock>& lock)
{
    if (!choice.application) {
        lock = std::make_unique<CExchangeLock>();
        return CKR_OK;
    }
    void* mutex = nullptr;
    if (choice.createMutex(&mutex) != CKR_OK) {
        return CKR_CANT_LOCK;
    }
    lock.reset(new CExchangeLock(choice, mutex));
    return CKR_OK;
}

CExchangeLock::CExchangeLock() : m_choice{} {}

CExchangeLock::CExchangeLock(const LockingChoice& choice, void* applicationMutex)
    : m_choice(choice), m_applicationMutex(applicationMutex)
{}

CExchangeLock::~CExchangeLock()
{
    if (m_choice.application) {
        (void)m_choice.destroyMutex(m_applicationMutex);
    }
}

void CExchangeLock::useLockFile(std::unique_ptr<CLockFileToken> lockFile) { m_lockFile = std::move(lockFile); }

std::string CExchangeLock::lockFilePath() const { return m_lockFile != nullptr ? m_lockFile->path() : ""; }

CExchangeLock::Outcome CExchangeLock::acquire(std::chrono::milliseconds lockFileWait)
{
    if (!m_choice.application) {
        m_mutex.lock();
    } else if (m_choice.lockMutex(m_applicationMutex) != CKR_OK) {
        return Outcome::Refused;
    }
    if (m_lockFile == nullptr) {
        return Outcome::Held;
    }
    bool locked = false;
    try {
        locked = m_lockFile->lock(lockFileWait);
    } catch (...) {
        unlockMutex();
        throw;
    }
    if (!locked) {
        unlockMutex();
        return Outcome::LockFileBusy;
    }
    return Outcome::Held;
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
    unlockMutex();
    if (failure) {
        std::rethrow_exception(failure);
    }
}

void CExchangeLock::unlockMutex()
{
    if (m_choice.application) {
        (void)m_choice.unlockMutex(m_applicationMutex);
    } else {
        m_mutex.unlock();
    }
}

void CExchangeLock::abandon()
{
    if (m_lockFile != nullptr) {
        m_lockFile->abandon();
    }
}

}  // namespace vexa::pkcs11
