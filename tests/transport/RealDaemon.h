#pragma once
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "TempDir.h"
#include "TokenSimulator.h"

namespace vexa::test {

// vexa-daemon serving the tokens of a simulator of its own. The daemon ends
// before the simulator, as its clients must.
class RealDaemon {
public:
    // TLS listener on 127.0.0.1 and a free port, serving the first token;
    // extraArgs go after the others (such as -cca FILE).
    static std::unique_ptr<RealDaemon> tls(const std::vector<std::string>& simArgs, const std::string& certFile,
                                           const std::string& keyFile, const std::string& caFile,
                                           const std::vector<std::string>& extraArgs = {});
    // One Unix socket per token in socketDir; daemonArgs go on the daemon's
    // command line after the transport and socket directory.
    static std::unique_ptr<RealDaemon> unix(const std::vector<std::string>& simArgs, const std::string& socketDir,
                                            size_t tokenCount, const std::vector<std::string>& daemonArgs = {});
    ~RealDaemon();

    // Ends the daemon as the service manager does (SIGTERM) and waits for it;
    // startAgain() starts it once more with the same arguments, and returns
    // once it serves as many tokens as before.
    void stop();
    void startAgain();

    TokenSimulator& simulator() { return *m_simulator; }
    int port() const { return m_port; }
    std::string output() const;

private:
    explicit RealDaemon(const std::vector<std::string>& simArgs);
    void start(const std::vector<std::string>& arguments);

    void stopDaemon();

    std::unique_ptr<TokenSimulator> m_simulator;
    std::vector<std::string> m_arguments;
    std::string m_socketDir;  // Unix only
    size_t m_tokenCount = 0;
    TempDir m_dir{"vexa-real-daemon"};  // holds the daemon's output
    pid_t m_daemon = -1;
    int m_port = 0;
};

}  // namespace vexa::test
