// fuzz-session-broker: the daemon's session broker, fed requests of several
// clients and the token's replies to them, whatever their bytes.
//
// The input is a series of steps, each
//
//   byte     client (bits 0-1), then what happens after the request: bit 2
//            the client's connection ends, bit 3 its process ends (client 3
//            is a process, the others connections of their own)
//   le16 N   and N bytes: the request
//   le16 M   and M bytes: the token's reply to each request the broker
//            sends on; M = 0xFFFF: the port fails instead
//
// Whatever the messages, the broker must not read or write beyond its
// buffer, must keep another client's session from reaching the token, and
// must send the token nothing but the request itself or, for a client that
// closes all or goes, C_CloseSession on that client's own sessions.
#include <p11-kit/pkcs11.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "DaemonLog.h"
#include "SessionBroker.h"
#include "wire/CallTable.h"
#include "wire/Peek.h"

namespace {

using vexa::daemon::ClientId;
using vexa::daemon::CSessionBroker;
using vexa::daemon::ExchangeOutcome;
using vexa::daemon::kBrokerBuffer;

void require(bool holds, const char* what)
{
    if (!holds) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

class Input {
public:
    Input(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool empty() const { return m_at >= m_size; }
    uint8_t byte() { return m_at < m_size ? m_data[m_at++] : 0; }
    uint16_t le16()
    {
        const uint16_t low = byte();
        return static_cast<uint16_t>(low | byte() << 8);
    }
    // Up to length bytes, fewer at the end of the input.
    std::vector<uint8_t> bytes(size_t length)
    {
        const size_t count = std::min(length, m_size - std::min(m_at, m_size));
        std::vector<uint8_t> out(m_data + m_at, m_data + m_at + count);
        m_at += count;
        return out;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_at = 0;
};

// The token: answers every request with the step's reply, and checks what
// the broker sends it.
class Token : public vexa::daemon::ITokenLink {
public:
    ExchangeOutcome transfer(uint8_t* buffer, uint32_t length, uint32_t& replyLength) override
    {
        require(length <= kBrokerBuffer, "a request fits the buffer");
        ++calls;
        const auto request = vexa::wire::peekRequest(buffer, length);
        if (request && request->function == vexa::fn::CloseSession && request->session) {
            closed.push_back(*request->session);
        }
        if (fails) {
            return ExchangeOutcome::Failed;
        }
        std::copy(reply.begin(), reply.end(), buffer);
        replyLength = static_cast<uint32_t>(reply.size());
        return ExchangeOutcome::Replied;
    }

    std::vector<uint8_t> reply;
    bool fails = false;
    size_t calls = 0;
    std::vector<uint32_t> closed;  // sessions of the C_CloseSession requests
};

constexpr size_t kClients = 4;
constexpr size_t kProcess = 3;

struct Clients {
    explicit Clients(CSessionBroker& broker) : broker(broker)
    {
        for (size_t i = 0; i < kClients; ++i) {
            attach(i);
        }
    }
    ~Clients()
    {
        close(pipe[0]);
        close(pipe[1]);
    }
    void attach(size_t i)
    {
        if (i != kProcess) {
            ids[i] = broker.attachConnection("client");
            return;
        }
        if (pipe[0] >= 0) {
            close(pipe[0]);
            close(pipe[1]);
        }
        require(::pipe(pipe) == 0, "a pipe stands in for the process");
        ids[i] = broker.attachProcess(100, dup(pipe[0]));
    }

    CSessionBroker& broker;
    std::array<ClientId, kClients> ids{};
    int pipe[2] = {-1, -1};
};

// The sessions each of a client's C_CloseSession requests named were its own.
void checkClosed(const std::vector<uint32_t>& closed, const std::vector<std::optional<ClientId>>& owners,
                 ClientId client)
{
    for (size_t i = 0; i < closed.size(); ++i) {
        require(owners[i] == client, "only the client's own sessions are closed for it");
    }
}

std::vector<std::optional<ClientId>> ownersOf(const CSessionBroker& broker, const std::vector<uint32_t>& sessions)
{
    std::vector<std::optional<ClientId>> owners;
    for (uint32_t session : sessions) {
        owners.push_back(broker.ownerOf(session));
    }
    return owners;
}

void step(Input& input, CSessionBroker& broker, Clients& clients, Token& token, std::vector<uint32_t>& seen)
{
    const uint8_t control = input.byte();
    const size_t which = control & 3;
    const ClientId client = clients.ids[which];
    std::vector<uint8_t> request = input.bytes(std::min<size_t>(input.le16(), kBrokerBuffer));
    const uint16_t replyLength = input.le16();
    token.fails = replyLength == 0xFFFF;
    token.reply = input.bytes(token.fails ? 0 : std::min<size_t>(replyLength, kBrokerBuffer));

    // A request on another client's session goes no further.
    const auto peeked = vexa::wire::peekRequest(request.data(), request.size());
    const auto* call = peeked ? vexa::wire::findCall(peeked->function) : nullptr;
    std::optional<ClientId> ownerBefore;
    if (call != nullptr && call->namesSession() && peeked->session) {
        ownerBefore = broker.ownerOf(*peeked->session);
        seen.push_back(*peeked->session);
    }
    const auto ownersBefore = ownersOf(broker, seen);
    std::vector<uint8_t> buffer(kBrokerBuffer);
    std::copy(request.begin(), request.end(), buffer.begin());
    uint32_t length = 0;
    token.calls = 0;
    token.closed.clear();
    const ExchangeOutcome outcome =
        broker.serve(client, buffer.data(), static_cast<uint32_t>(request.size()), length, token);
    if (ownerBefore && *ownerBefore != client) {
        require(token.calls == 0 && outcome == ExchangeOutcome::Replied, "another's session never reaches the token");
        const auto reply = vexa::wire::peekReply(buffer.data(), length);
        require(reply && reply->rv == CKR_SESSION_HANDLE_INVALID, "the refusal is CKR_SESSION_HANDLE_INVALID");
    } else if (call != nullptr && call->has(vexa::wire::kClosesAllSessions)) {
        std::vector<std::optional<ClientId>> owners;
        for (uint32_t session : token.closed) {
            const auto at = std::find(seen.begin(), seen.end(), session);
            owners.push_back(at == seen.end() ? std::nullopt : ownersBefore[static_cast<size_t>(at - seen.begin())]);
        }
        checkClosed(token.closed, owners, client);
    } else {
        require(token.calls == 1, "any other request goes to the token once");
    }
    if (outcome == ExchangeOutcome::Replied && peeked && peeked->function == vexa::fn::OpenSession && !token.fails) {
        const auto reply = vexa::wire::peekReply(token.reply.data(), token.reply.size());
        if (reply && reply->rv == CKR_OK && reply->handle) {
            require(broker.ownerOf(*reply->handle) == client, "an opened session is the opener's");
            seen.push_back(*reply->handle);
        }
    }

    // The client goes: only its own sessions are closed.
    const auto ownersNow = ownersOf(broker, seen);
    token.closed.clear();
    if ((control & 8) != 0 && which == kProcess) {
        require(write(clients.pipe[1], "x", 1) == 1, "the process ends");
        broker.processEnded(client, token);
    }
    if ((control & 4) != 0) {
        broker.detach(client, token);
        clients.attach(which);
    }
    std::vector<std::optional<ClientId>> owners;
    for (uint32_t session : token.closed) {
        const auto at = std::find(seen.begin(), seen.end(), session);
        owners.push_back(at == seen.end() ? std::nullopt : ownersNow[static_cast<size_t>(at - seen.begin())]);
    }
    checkClosed(token.closed, owners, client);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    vexa::daemon::setLogThreshold(corvel::kLogError + 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input input(data, size);
    CSessionBroker broker("FUZZ", nullptr);
    Clients clients(broker);
    Token token;
    std::vector<uint32_t> seen;  // every session number a request named or a reply opened
    for (int steps = 0; !input.empty() && steps < 64; ++steps) {
        step(input, broker, clients, token, seen);
    }
    require(broker.sessionCount() <= seen.size(), "the table holds only numbers it has seen");
    return 0;
}
