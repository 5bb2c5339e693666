#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "CTransport.h"
#include "ILogTarget.h"

namespace corvel {

// A token served by the daemon on a Unix-domain stream socket. Each request
// goes out as one client packet; the reply is the bytes the daemon writes
// back with one write. Requests go only to a socket served by a trusted user
// (see isTrustedPeer): whoever could put a socket of their own in the
// daemon's place must not receive PINs.
class CUnixTransport : public CTransport {
public:
    // Trusts the service user besides root and this process's user.
    CUnixTransport(std::string socketPath, ILogTarget* logTarget);
    ~CUnixTransport() override;
    CUnixTransport(const CUnixTransport&) = delete;
    CUnixTransport& operator=(const CUnixTransport&) = delete;

    // The users trusted besides root and this process's user, replacing the
    // service user.
    void setTrustedUsers(std::vector<uid_t> users) { m_trustedUsers = std::move(users); }

    // Unreachable "connection failed" when the daemon cannot be reached;
    // Unreachable naming the socket and its user when that user is not
    // trusted, before anything is sent.
    void open() override;
    bool isOpen() override;
    void close() override;
    void setTimeout(uint32_t milliseconds) override;
    uint32_t getTimeout() override;
    size_t read(uint8_t* buffer, size_t capacity) override;
    size_t write(const std::vector<uint8_t>& data) override;
    size_t write(const uint8_t* data, size_t length) override;
    const char* getName() override;

private:
    void applyReceiveTimeout();
    void requireTrustedPeer();
    bool sendAll(const uint8_t* data, size_t length);
    size_t receiveReply(uint8_t* buffer, size_t capacity);
    bool moreBytesWaiting();
    // Closes the connection and throws: whatever the daemon sends after a
    // failed read must not pass for the next reply.
    [[noreturn]] void failRead(TransportFailure failure, const std::string& message);

    uint32_t m_timeout = 10000;
    std::string m_socketPath;
    int m_socket = -1;
    ILogTarget* m_logTarget;  // not owned, may be null
    bool m_open = false;
    std::vector<uid_t> m_trustedUsers;
};

}  // namespace corvel
