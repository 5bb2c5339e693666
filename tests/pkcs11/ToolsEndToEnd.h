#pragma once
// A simulated token with the working (pkcs11) firmware, reached by programs
// through libvexa-pkcs11.so over one of the library's three transports:
//
//   ToolsDeployment hid(LibraryTransport::Hid);   // HID directly, no vexaconfig.json
//   ToolsDeployment unix(LibraryTransport::Unix); // vexa-daemon -t unix, library over its socket
//   ToolsDeployment tls(LibraryTransport::Tls);   // vexa-daemon -t tls, library over TLS
//   auto r = tls.pkcs11Tool({"--login", "--pin", "123456", "-O"});
//
// Programs run in a working directory of their own (where the library finds
// its vexaconfig.json), with what they need to see the token and, in the
// sanitizer build, to load our instrumented library. Everything is removed
// when the object goes away.
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "Process.h"
#include "RealDaemon.h"
#include "TempDir.h"
#include "TestCertificates.h"
#include "TokenSimulator.h"

namespace vexa::test {

enum class LibraryTransport { Hid, Unix, Tls };

// Whether the TLS daemon requires client certificates (-cca).
enum class ClientAuthentication { None, Required };

std::string transportName(LibraryTransport transport);
// Test names and messages show the transport by name.
void PrintTo(LibraryTransport transport, std::ostream* out);

// The user PIN of a token that the simulator initialises.
inline const std::string kUserPin = "123456";

// What a deployment may add to the plain one.
struct DeploymentOptions {
    std::string tokenOptions;                // appended to the token's --token value, e.g. ",framing=reportid"
    std::vector<std::string> simulatorArgs;  // e.g. --trace FILE
    std::string libraryConfig;               // further members of vexaconfig.json, e.g. "\"timeout\": 2000"
    std::vector<std::string> daemonArgs;     // e.g. -to 6000 (Unix and TLS)
    ClientAuthentication clients = ClientAuthentication::None;  // TLS only
};

class ToolsDeployment {
public:
    explicit ToolsDeployment(LibraryTransport transport, ClientAuthentication clients = ClientAuthentication::None);
    ToolsDeployment(LibraryTransport transport, const DeploymentOptions& options);
    ~ToolsDeployment();
    ToolsDeployment(const ToolsDeployment&) = delete;
    ToolsDeployment& operator=(const ToolsDeployment&) = delete;

    // A program of ours (instrumented like the library) or a third-party one
    // (which needs the sanitizer runtime preloaded to load our library).
    RunResult runOurs(const std::vector<std::string>& argv);
    RunResult runThirdParty(const std::vector<std::string>& argv);
    // A program of ours that runs beside the test, taking lines on its input.
    std::unique_ptr<InteractiveProcess> startOurs(const std::vector<std::string>& argv);
    // A third-party program that runs beside the test (a server, say).
    std::unique_ptr<InteractiveProcess> startThirdParty(const std::vector<std::string>& argv);
    // pkcs11-tool --module <our library> ARGS
    RunResult pkcs11Tool(const std::vector<std::string>& args);
    // The same, logged in as the user.
    RunResult pkcs11ToolAsUser(const std::vector<std::string>& args);
    // p11tool --provider <our library> ARGS
    RunResult p11tool(const std::vector<std::string>& args);

    // A file in the programs' working directory.
    std::string file(const std::string& name) const { return m_work.file(name); }
    // The daemon's output, for failure messages ("" for HID).
    std::string daemonOutput() const;
    // Where a client of our own reaches the daemon without the library: the
    // token's socket (Unix), the TLS port and the CA the daemon's
    // certificate chains to (TLS).
    std::string socketPath() const;
    int tlsPort() const;
    const std::string& caCert() const { return m_caCert; }
    // The simulator behind the token, for control lines.
    TokenSimulator& simulator();
    // Unix and TLS: the daemon; Unix: the directory of its sockets.
    RealDaemon& daemon() { return *m_daemon; }
    const std::string& socketDir() const { return m_sockets->path(); }
    const std::string& serial() const;

    // TLS: writes the library's vexaconfig.json, with a client certificate
    // and its key when they are given.
    void configureTls(const std::string& clientCert = "", const std::string& clientKey = "");
    // With ClientAuthentication::Required: the client CA the daemon trusts,
    // a client of it, and a client of another CA.
    const ClientCertificates& clientCertificates() const { return *m_clients; }

private:
    RunResult run(const std::vector<std::string>& argv, bool thirdParty);
    Environment environment(bool thirdParty) const;

    LibraryTransport m_transport;
    TempDir m_work{"vexa-tools"};
    std::unique_ptr<TempDir> m_sockets;
    std::unique_ptr<TokenSimulator> m_simulator;  // HID only
    std::unique_ptr<RealDaemon> m_daemon;         // Unix and TLS
    std::string m_caCert;                         // TLS: what the daemon's certificate chains to
    std::unique_ptr<ClientCertificates> m_clients;
    std::string m_moreConfig;  // ", " and further members of vexaconfig.json, or ""
};

// A SoftHSM2 token initialised with the same PINs, for comparing the output
// of a tool on it with the output through our library.
class SoftHsmReference {
public:
    SoftHsmReference();
    RunResult pkcs11Tool(const std::vector<std::string>& args);
    RunResult pkcs11ToolAsUser(const std::vector<std::string>& args);
    std::string file(const std::string& name) const { return m_dir.file(name); }

private:
    TempDir m_dir{"vexa-softhsm"};
};

// Runs a command (searched in PATH) in `dir`; for tools such as openssl.
RunResult runIn(const std::string& dir, const std::vector<std::string>& argv);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);

}  // namespace vexa::test
