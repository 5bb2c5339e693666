#pragma once
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "FakeDaemon.h"

namespace vexa::test {

// A TLS listener on 127.0.0.1 that serves one client at a time like the
// daemon's, answering packets through the handler. Port 0 takes an
// ephemeral port; another port is that of a server started again.
class TlsTestServer {
public:
    TlsTestServer(const std::string& certFile, const std::string& keyFile, FakeHandler handler, int port = 0);
    ~TlsTestServer();
    TlsTestServer(const TlsTestServer&) = delete;
    TlsTestServer& operator=(const TlsTestServer&) = delete;

    int port() const { return m_port; }
    PacketLog& log() { return m_log; }
    int acceptedConnections() const { return m_accepted; }
    // Ends the connection being served without a word, as the daemon ends an
    // idle one, and returns once the server has let it go.
    void dropClient();

    struct Tls;

private:
    void run();
    void serveClient(int number);

    FakeHandler m_handler;
    std::unique_ptr<Tls> m_tls;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_accepted{0};
    std::mutex m_fdMutex;  // guards m_clientFd against the shutdowns of other threads
    std::condition_variable m_clientEnded;
    int m_clientFd = -1;
    PacketLog m_log;
    std::thread m_thread;
};

}  // namespace vexa::test
