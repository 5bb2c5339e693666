#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "CTransport.h"
#include "ILogTarget.h"

namespace corvel {

// A token served by the daemon on a Unix-domain stream socket. Each request
// goes out as one client packet; the reply is the bytes the daemon writes back.
class CUnixTransport : public CTransport {
public:
    CUnixTransport(std::string socketPath, ILogTarget* logTarget);
    ~CUnixTransport() override;
    CUnixTransport(const CUnixTransport&) = delete;
    CUnixTransport& operator=(const CUnixTransport&) = delete;

    // Throws IOException "connection failed" when the daemon cannot be reached.
    int32_t open() override;
    bool isOpen() override;
    void close() override;
    void setTimeout(uint32_t milliseconds) override;
    uint32_t getTimeout() override;
    size_t read(uint8_t* buffer, size_t capacity) override;
    size_t write(const std::vector<uint8_t>& data) override;
    size_t write(const uint8_t* data, size_t length) override;
    const char* getName() override;

    const std::string& getSocketPath() const { return m_socketPath; }

private:
    void applyReceiveTimeout();
    bool sendAll(const uint8_t* data, size_t length);

    uint32_t m_timeout = 10000;
    std::string m_socketPath;
    int m_socket = -1;
    ILogTarget* m_logTarget;  // not owned, may be null
    bool m_open = false;
};

}  // namespace corvel
