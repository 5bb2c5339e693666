// Fake daemons behind the Unix socket and TLS transports, and the script
// they and the HID token follow.
#include <chrono>

#include "CUnixTransport.h"
#include "ContractPeer.h"
#include "FakeDaemon.h"
#include "TCPTransport.h"
#include "TempDir.h"
#include "TestCertificates.h"
#include "TlsTestServer.h"

namespace contract {

Bytes reversed(const Bytes& bytes) { return Bytes(bytes.rbegin(), bytes.rend()); }

const char* actName(Act act)
{
    switch (act) {
    case Act::Answer:
        return "Answer";
    case Act::Silent:
        return "Silent";
    case Act::Late:
        return "Late";
    case Act::Stalled:
        return "Stalled";
    case Act::Garbled:
        return "Garbled";
    case Act::TokenError:
        return "TokenError";
    case Act::HangUp:
        return "HangUp";
    }
    return "?";
}

void Script::plan(std::vector<Act> acts)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_plan.assign(acts.begin(), acts.end());
}

Act Script::take(const Bytes& request)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.push_back(request);
    if (m_plan.empty()) {
        return Act::Answer;
    }
    const Act act = m_plan.front();
    m_plan.pop_front();
    return act;
}

std::vector<Bytes> Script::requests()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

void Script::release()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_releases;
    }
    m_released.notify_all();
}

bool Script::awaitRelease()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_released.wait_for(lock, std::chrono::seconds(10), [this] { return m_releases > 0 || m_releaseAll; })) {
        return false;
    }
    if (m_releases > 0) {
        --m_releases;
    }
    return true;
}

void Script::releaseAll()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_releaseAll = true;
    }
    m_released.notify_all();
}

namespace {

using vexa::test::FakeReply;

// What a fake daemon sends for a request; runs on the daemon's thread. A
// late reply waits there until the test lets it go, as a daemon whose token
// is slow holds its connection's thread.
FakeReply daemonReply(Script& script, const Bytes& request)
{
    switch (script.take(request)) {
    case Act::Silent:
        return FakeReply::silent();
    case Act::Late:
        script.awaitRelease();
        return FakeReply::send(reversed(request));
    case Act::HangUp:
        return FakeReply::close();
    default:
        return FakeReply::send(reversed(request));
    }
}

// A fake daemon that can stop and start again: Server is FakeUnixDaemon or
// TlsTestServer. Replies over a stream carry no framing of their own: the
// daemon can answer, stay silent, answer late or hang up.
template <typename Server>
class DaemonPeer : public Peer {
public:
    bool can(Act act) const override
    {
        return act == Act::Answer || act == Act::Silent || act == Act::Late || act == Act::HangUp;
    }
    void releaseLate() override { m_script.release(); }
    void unplug() override
    {
        m_earlierConnections += m_server->acceptedConnections();
        m_server.reset();
    }
    int connections() override { return m_earlierConnections + (m_server ? m_server->acceptedConnections() : 0); }
    size_t longestRequest() const override { return 4096 - 5; }

protected:
    vexa::test::FakeHandler handler()
    {
        return [this](const Bytes& request) { return daemonReply(m_script, request); };
    }
    // Before the transport goes: a late reply may hold the daemon's thread.
    void stop()
    {
        m_script.releaseAll();
        transport().close();
        m_server.reset();
    }

    std::unique_ptr<Server> m_server;

private:
    int m_earlierConnections = 0;  // of daemons stopped since
};

class UnixPeer final : public DaemonPeer<vexa::test::FakeUnixDaemon> {
public:
    UnixPeer() : m_path(m_dir.file("vexa.0123456789AB.sock")), m_transport(m_path, nullptr) { replug(); }
    ~UnixPeer() override { stop(); }

    corvel::CTransport& transport() override { return m_transport; }
    void replug() override { m_server = std::make_unique<vexa::test::FakeUnixDaemon>(m_path, handler()); }

private:
    vexa::test::TempDir m_dir;
    std::string m_path;
    corvel::CUnixTransport m_transport;
};

// Made once per process: openssl takes a while.
const vexa::test::TestCertificates& certificates()
{
    static const vexa::test::TempDir dir;
    static const vexa::test::TestCertificates certs = vexa::test::makeTestCertificates(dir.path());
    return certs;
}

class TlsPeer final : public DaemonPeer<vexa::test::TlsTestServer> {
public:
    TlsPeer()
    {
        replug();
        m_transport = std::make_unique<corvel::TCPTransport>("localhost", m_port, certificates().caCert, nullptr);
    }
    ~TlsPeer() override { stop(); }

    corvel::CTransport& transport() override { return *m_transport; }
    // The daemon comes back on the port it had.
    void replug() override
    {
        m_server = std::make_unique<vexa::test::TlsTestServer>(certificates().serverCert, certificates().serverKey,
                                                               handler(), m_port);
        m_port = m_server->port();
    }

private:
    int m_port = 0;
    std::unique_ptr<corvel::TCPTransport> m_transport;
};

}  // namespace

std::unique_ptr<Peer> makeUnixPeer() { return std::make_unique<UnixPeer>(); }
std::unique_ptr<Peer> makeTlsPeer() { return std::make_unique<TlsPeer>(); }

}  // namespace contract
