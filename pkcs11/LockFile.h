#pragma once
#include <sys/types.h>

#include <chrono>
#include <string>

#include "SerialId.h"

namespace vexa::pkcs11 {

// One token's part of the inter-process lock file. Every process that
// configures the same path takes, for each exchange with a token, a write
// lock on the byte at twice the token's serial id, so that processes sharing
// a token take turns while exchanges with different tokens never wait for
// each other. The byte after it is the token's waiting room: a process that
// finds the token taken holds a read lock there while it waits, and one that
// lets the token go while somebody waits gives the waiter its turn before it
// takes the token again.
//
// Each part opens the file itself and uses open file description locks, so
// parts exclude one another between threads as between processes, and a
// forked child inherits none of them.
class CLockFileToken {
public:
    // Opens path for reading and writing; throws std::system_error when it
    // cannot.
    CLockFileToken(const std::string& path, SerialId serial);
    ~CLockFileToken();
    CLockFileToken(const CLockFileToken&) = delete;
    CLockFileToken& operator=(const CLockFileToken&) = delete;

    const std::string& path() const { return m_path; }
    // Waits until the token's byte is ours or wait has passed (false: another
    // process holds it). Throws std::system_error when locking fails.
    bool lock(std::chrono::milliseconds wait);
    void unlock();
    // Closes the file; the locks of a parent that shares it stay its own.
    void abandon();

private:
    bool tryLock(off_t offset, short type);
    void unlockByte(off_t offset);
    bool isLockedByOthers(off_t offset, short type);
    void giveWaiterATurn();

    std::string m_path;
    int m_fd = -1;
    const off_t m_token;    // the token's byte
    const off_t m_waiting;  // its waiting room
};

}  // namespace vexa::pkcs11
