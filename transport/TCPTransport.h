#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "CTransport.h"
#include "ILogTarget.h"
#include "TlsClientConnection.h"

namespace corvel {

// A token served by the daemon's TLS listener: each request goes out as one
// client packet inside TLS; the reply is the bytes the daemon writes back.
class TCPTransport : public CTransport {
public:
    // A null logTarget discards the transport's log lines.
    TCPTransport(TlsClientOptions options, ILogTarget* logTarget);
    // Without a client certificate.
    TCPTransport(std::string address, int32_t port, std::string caFile, ILogTarget* logTarget);
    ~TCPTransport() override;
    TCPTransport(const TCPTransport&) = delete;
    TCPTransport& operator=(const TCPTransport&) = delete;

    // Throws Unreachable "connection failed" when the connection, the
    // client certificate or the daemon's certificate fails.
    void open() override;
    bool isOpen() override;
    void close() override;
    void abandon() override;
    void setTimeout(uint32_t milliseconds) override;
    uint32_t getTimeout() override;
    size_t read(uint8_t* buffer, size_t capacity) override;
    size_t write(const std::vector<uint8_t>& data) override;
    size_t write(const uint8_t* data, size_t length) override;
    const char* getName() override;

private:
    // Closes the connection and throws: a late reply must not pass for the next.
    [[noreturn]] void failRead(TransportFailure failure, int result);

    uint32_t m_timeout = 10000;
    TlsClientConnection m_connection;  // logs through the transport's log target
};

}  // namespace corvel
