#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "ILogTarget.h"

namespace corvel {

// The environment variable that holds the password of the client key.
constexpr const char* kClientKeyPasswordVariable = "VEXA_CLIENT_KEY_PASS";

struct TlsClientOptions {
    std::string address;  // host name or address of the daemon, which its certificate must name
    int32_t port = 0;
    std::string caFile;    // PEM: the CAs the daemon's certificate must chain to
    std::string certFile;  // PEM: certificate presented to the daemon; empty: none
    std::string keyFile;   // PEM: its private key, encrypted or not
};

// One TLS connection to the daemon's listener (mbed TLS). The daemon's
// certificate must chain to the CA file and name the address connected to;
// with a client certificate, the connection presents it. No wait is
// unbounded: connect and handshake end together within the time-out, and
// each later wait for the daemon within the read time-out.
class TlsClientConnection {
public:
    TlsClientConnection(TlsClientOptions options, ILogTarget* logTarget);
    ~TlsClientConnection();
    TlsClientConnection(const TlsClientConnection&) = delete;
    TlsClientConnection& operator=(const TlsClientConnection&) = delete;

    // The TCP connection and the handshake within timeoutMs, which is also
    // the read time-out from then on.
    bool connect(uint32_t timeoutMs);
    bool isConnected() const { return m_state != nullptr; }
    void setReadTimeout(uint32_t timeoutMs);
    void close();
    // Closes the socket without a close notification or a shutdown: the
    // connection stays the parent's in a forked child.
    void abandon();
    // Only while connected. Sends every byte: 0, or the failing mbed TLS
    // result (and closed).
    int write(const uint8_t* data, size_t length);
    // Only while connected. What one TLS read delivers, at most length (above
    // 0) bytes: their count, or 0 (the daemon closed) or a negative mbed TLS
    // result.
    int read(uint8_t* buffer, size_t length);
    // Decrypted reply bytes that the last read left behind.
    bool bytesWaiting() const;
    // Whether the daemon has ended the connection while no reply was due
    // (it drops connections that stay idle); false when not connected.
    bool endedByPeer() const;
    // What the last connect found wrong with the daemon's certificate
    // (MBEDTLS_X509_BADCERT_* flags); 0 when it got no certificate to judge
    // or found nothing wrong.
    uint32_t verifyFlags() const { return m_verifyFlags; }
    static bool isTimeout(int result);

    // Why a client certificate and key cannot be presented, loaded as
    // connect loads them (the key's password from the environment); empty
    // when they can.
    static std::string credentialsProblem(const std::string& certFile, const std::string& keyFile);

    struct State;

private:
    bool connectSocket(State& state, uint32_t timeoutMs);
    bool configure(State& state, uint32_t timeoutMs);
    bool handshake(State& state);
    bool verifyPeer(State& state);
    void logLastError(int result);

    TlsClientOptions m_options;
    std::unique_ptr<State> m_state;  // null when not connected
    ILogTarget* m_logTarget;         // not owned
    uint32_t m_verifyFlags = 0;
};

}  // namespace corvel
