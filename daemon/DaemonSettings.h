#pragma once
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "CommandLine.h"

namespace vexa::daemon {

// Clients a token serves at once unless configured otherwise, and the most
// that may be configured (each is a thread and a descriptor).
constexpr uint32_t kDefaultTlsClients = 16;
constexpr uint32_t kDefaultUnixClients = 1024;
constexpr uint32_t kLargestMaxClients = 1024;

// What the Unix-socket transport needs, and the settings both transports share.
struct DaemonSettings {
    std::string transport;
    std::string socketDir;  // empty: "/var/run"
    // Milliseconds each token reply is waited for; 0: the transport's own
    // (60000 for the Unix sockets, 120000 over TLS).
    uint32_t tokenTimeout = 0;
    // Clients each token serves at once; 0: the transport's own (1024 on a
    // Unix socket, where more are closed at once; 16 over TLS, where more wait
    // in the listening socket's backlog).
    uint32_t maxClients = 0;
};

// Every setting after merging default, configuration file and command line.
struct DaemonConfig {
    int32_t logThreshold = 30;
    std::string port = "4443";
    std::string serial;
    std::string bindAddress = "localhost";
    DaemonSettings daemon;
    std::string caFile = "ca.pem";
    std::string certFile = "server.pem";
    std::string keyFile = "key.pem";
    std::string clientCaFile;  // empty: TLS clients need no certificate
};

// Merges each setting as default, then the file's key when it has the
// accepted JSON type, then the option's value when the option is followed by
// another word. file is the parsed configuration (null when there is none).
// Returns false with a readable reason in error when the file's top level is
// not an object or the log threshold is not a 32-bit decimal number.
bool mergeSettings(const nlohmann::json& file, const Words& words, DaemonConfig& config, std::string& error);

// A count from 1 to largest: decimal digits (leading white space allowed,
// anything after the digits ignored).
bool parsePositive(const std::string& text, uint32_t largest, uint32_t& value);

// A token time-out in milliseconds, from 1 to 4294967295 (ParsePositive).
bool parseTokenTimeout(const std::string& text, uint32_t& milliseconds);

// Decimal number with optional leading white space and sign; anything after
// the digits is ignored. False when there are no digits or the value does not
// fit a signed 32-bit integer.
bool parseLogThreshold(const std::string& text, int32_t& threshold);

}  // namespace vexa::daemon
