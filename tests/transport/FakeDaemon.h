#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vexa::test {

// What a fake daemon does with one request payload.
struct FakeReply {
    enum class Action { Send, Silent, Close };
    Action action = Action::Send;
    std::vector<uint8_t> bytes;

    static FakeReply send(std::vector<uint8_t> bytes) { return {Action::Send, std::move(bytes)}; }
    static FakeReply silent() { return {Action::Silent, {}}; }
    static FakeReply close() { return {Action::Close, {}}; }
};
using FakeHandler = std::function<FakeReply(const std::vector<uint8_t>& payload)>;

// Answers every request with its payload reversed.
FakeReply reverseReply(const std::vector<uint8_t>& payload);

// One client packet as it arrived: header and payload bytes.
struct ReceivedPacket {
    int connection;  // numbered from 1 in order of acceptance
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> payload() const;
};

// Cuts a byte stream into client packets.
class PacketAssembler {
public:
    void append(const uint8_t* data, size_t length);
    // Takes the next complete packet off the stream.
    bool next(std::vector<uint8_t>& packet);

private:
    std::vector<uint8_t> m_pending;
};

// Packets received by a fake server, shared with the test thread.
class PacketLog {
public:
    void add(ReceivedPacket packet);
    std::vector<ReceivedPacket> packets();
    // Waits (polling briefly) until at least count packets arrived.
    bool waitFor(size_t count, int timeoutMs = 5000);

private:
    std::mutex m_mutex;  // guards m_packets
    std::condition_variable m_changed;
    std::vector<ReceivedPacket> m_packets;
};

// A stand-in for the daemon's Unix socket of one token: accepts any number of
// clients and answers each packet through the handler on its own thread.
class FakeUnixDaemon {
public:
    FakeUnixDaemon(std::string socketPath, FakeHandler handler);
    // Serves on a socket already listening at socketPath (made by another
    // user, say); takes the descriptor.
    FakeUnixDaemon(std::string socketPath, FakeHandler handler, int listening);
    ~FakeUnixDaemon();
    FakeUnixDaemon(const FakeUnixDaemon&) = delete;
    FakeUnixDaemon& operator=(const FakeUnixDaemon&) = delete;

    // Keeps each request this long before answering and counts requests of
    // other clients that arrive meanwhile.
    void setHoldMs(int milliseconds) { m_holdMs = milliseconds; }
    int overlaps() const { return m_overlaps; }

    PacketLog& log() { return m_log; }
    int acceptedConnections() const { return m_accepted; }
    const std::string& path() const { return m_path; }

private:
    struct Client;
    void run();
    bool serve(Client& client, std::list<Client>& clients);
    void hold(const Client& current, std::list<Client>& clients);
    void acceptPending(std::list<Client>& clients);
    void start();

    std::string m_path;
    FakeHandler m_handler;
    int m_listen = -1;
    int m_wake[2] = {-1, -1};
    std::atomic<int> m_holdMs{0};
    std::atomic<int> m_overlaps{0};
    std::atomic<int> m_accepted{0};
    PacketLog m_log;
    std::thread m_thread;
};

}  // namespace vexa::test
