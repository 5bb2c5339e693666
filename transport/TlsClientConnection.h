#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "ILogTarget.h"

namespace corvel {

// One TLS connection to the daemon's listener (mbed TLS). The daemon's
// certificate must chain to the CA file and name the address connected to.
class TlsClientConnection {
public:
    TlsClientConnection(std::string address, int32_t port, std::string caFile, ILogTarget* logTarget);
    ~TlsClientConnection();
    TlsClientConnection(const TlsClientConnection&) = delete;
    TlsClientConnection& operator=(const TlsClientConnection&) = delete;

    bool connect(uint32_t timeoutMs);
    bool isConnected() const { return m_state != nullptr; }
    void setReadTimeout(uint32_t timeoutMs);
    void close();
    // Only while connected. Sends every byte: 0, or the failing mbed TLS
    // result (and closed).
    int write(const uint8_t* data, size_t length);
    // Only while connected. What one TLS read delivers, at most length (above
    // 0) bytes: their count, or 0 (the daemon closed) or a negative mbed TLS
    // result.
    int read(uint8_t* buffer, size_t length);
    // Decrypted reply bytes that the last read left behind.
    bool bytesWaiting() const;
    static bool isTimeout(int result);

    struct State;

private:
    bool handshake(State& state);
    bool verifyPeer(State& state);
    void logLastError(int result);

    std::string m_address;
    std::string m_caFile;
    int32_t m_port;
    std::unique_ptr<State> m_state;  // null when not connected
    ILogTarget* m_logTarget;         // not owned
};

}  // namespace corvel
