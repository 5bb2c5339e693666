#include "SessionBroker.h"

#include <p11-kit/pkcs11.h>
#include <pb_encode.h>
#include <unistd.h>

#include <algorithm>

#include "DaemonLog.h"
#include "PeerProcess.h"
#include "wire/Peek.h"

namespace vexa::daemon {
namespace {

constexpr size_t kUsualSessions = 64;
constexpr size_t kUsualClients = 16;

// The token's answer to C_CloseSession that leaves the session closed.
bool SessionGone(uint32_t rv) { return rv == CKR_OK || rv == CKR_SESSION_HANDLE_INVALID || rv == CKR_SESSION_CLOSED; }

// A reply with rv alone, in buffer; its length.
uint32_t EncodeStatus(uint32_t rv, uint8_t* buffer)
{
    RpcResponse reply = RpcResponse_init_zero;
    reply.rv = rv;
    pb_ostream_t stream = pb_ostream_from_buffer(buffer, kBrokerBuffer);
    return pb_encode(&stream, RpcResponse_fields, &reply) ? static_cast<uint32_t>(stream.bytes_written) : 0;
}

uint32_t EncodeCloseSession(uint32_t session, uint8_t* buffer)
{
    RpcRequest request = RpcRequest_init_zero;
    request.function = fn::CloseSession;
    request.has_session = true;
    request.session = session;
    pb_ostream_t stream = pb_ostream_from_buffer(buffer, kBrokerBuffer);
    return pb_encode(&stream, RpcRequest_fields, &request) ? static_cast<uint32_t>(stream.bytes_written) : 0;
}

}  // namespace

CSessionBroker::CSessionBroker(std::string token, IProcessWatch* watch) : m_token(std::move(token)), m_watch(watch)
{
    m_sessions.reserve(kUsualSessions);
    m_clients.reserve(kUsualClients);
}

CSessionBroker::~CSessionBroker() { clear(); }

ClientId CSessionBroker::attachProcess(pid_t pid, int pidfd)
{
    if (pid <= 0 || pidfd < 0) {
        if (pidfd >= 0) {
            close(pidfd);
        }
        return attachConnection(pid > 0 ? "process " + std::to_string(pid) : "a client of an unknown process");
    }
    for (Client& client : m_clients) {
        if (client.pid != pid || client.ended) {
            continue;
        }
        // A process that has ended has left its pid to the next one.
        if (processHasEnded(client.pidfd)) {
            client.ended = true;
            continue;
        }
        close(pidfd);
        ++client.connections;
        return client.id;
    }
    Client client;
    client.id = m_next++;
    client.pid = pid;
    client.pidfd = pidfd;
    client.connections = 1;
    client.label = "process " + std::to_string(pid);
    client.watch = m_watch != nullptr ? m_watch->watch(pidfd, client.id) : 0;
    m_clients.push_back(std::move(client));
    return m_clients.back().id;
}

ClientId CSessionBroker::attachConnection(std::string label)
{
    Client client;
    client.id = m_next++;
    client.connections = 1;
    client.label = std::move(label);
    m_clients.push_back(std::move(client));
    return m_clients.back().id;
}

void CSessionBroker::detach(ClientId id, ITokenLink& token)
{
    const auto client = std::find_if(m_clients.begin(), m_clients.end(), [id](const Client& c) { return c.id == id; });
    if (client == m_clients.end()) {
        return;
    }
    if (client->connections > 0) {
        --client->connections;
    }
    if (client->connections > 0) {
        return;
    }
    if (client->pid == 0 || client->ended || processHasEnded(client->pidfd)) {
        depart(client, token);
    } else if (!owns(id)) {
        drop(client);  // nothing to keep for it
    }
}

void CSessionBroker::processEnded(ClientId id, ITokenLink& token)
{
    const auto client = std::find_if(m_clients.begin(), m_clients.end(), [id](const Client& c) { return c.id == id; });
    if (client == m_clients.end()) {
        return;
    }
    client->ended = true;
    client->watch = 0;  // the watcher is done with it
    if (client->connections == 0) {
        depart(client, token);
    }
}

ExchangeOutcome CSessionBroker::serve(ClientId client, uint8_t* buffer, uint32_t length, uint32_t& replyLength,
                                      ITokenLink& token)
{
    const Look request = look(buffer, length);
    if (request.call == nullptr) {
        return token.transfer(buffer, length, replyLength);
    }
    const Held* entry = request.session ? held(*request.session) : nullptr;
    if (entry != nullptr && entry->owner != client) {
        refuse(client, request, buffer, replyLength);
        return ExchangeOutcome::Replied;
    }
    if (request.call->has(wire::kClosesAllSessions)) {
        return closeAll(client, buffer, replyLength, token);
    }
    const bool known = entry != nullptr;
    const ExchangeOutcome outcome = token.transfer(buffer, length, replyLength);
    if (outcome == ExchangeOutcome::Replied) {
        learn(client, request, known, buffer, replyLength);
    }
    return outcome;
}

void CSessionBroker::clear()
{
    m_sessions.clear();
    while (!m_clients.empty()) {
        drop(m_clients.end() - 1);
    }
}

std::optional<ClientId> CSessionBroker::ownerOf(uint32_t session) const
{
    for (const Held& entry : m_sessions) {
        if (entry.session == session) {
            return entry.owner;
        }
    }
    return std::nullopt;
}

CSessionBroker::Look CSessionBroker::look(const uint8_t* message, uint32_t length)
{
    Look request;
    const auto peeked = wire::peekRequest(message, length);
    if (!peeked) {
        return request;
    }
    request.call = wire::findCall(peeked->function);
    if (request.call != nullptr && request.call->namesSession()) {
        request.session = peeked->session;
    }
    return request;
}

CSessionBroker::Held* CSessionBroker::held(uint32_t session)
{
    for (Held& entry : m_sessions) {
        if (entry.session == session) {
            return &entry;
        }
    }
    return nullptr;
}

// A number the token hands out again is the new opener's, whatever the table
// held for it: the token had closed it without the daemon seeing the reply.
void CSessionBroker::hold(uint32_t session, ClientId owner)
{
    if (Held* entry = held(session)) {
        entry->owner = owner;
    } else {
        m_sessions.push_back({session, owner});
    }
}

void CSessionBroker::release(uint32_t session)
{
    const auto entry = std::find_if(m_sessions.begin(), m_sessions.end(),
                                    [session](const Held& held) { return held.session == session; });
    if (entry != m_sessions.end()) {
        *entry = m_sessions.back();
        m_sessions.pop_back();
    }
}

bool CSessionBroker::owns(ClientId client) const
{
    return std::any_of(m_sessions.begin(), m_sessions.end(),
                       [client](const Held& held) { return held.owner == client; });
}

// Only replies that change the table are read: those of calls that open or
// close a session, and the first successful use of a session the daemon has
// not seen opened.
void CSessionBroker::learn(ClientId client, const Look& request, bool known, const uint8_t* reply, uint32_t length)
{
    const bool opens = request.call->has(wire::kOpensSession);
    const bool closes = request.call->has(wire::kClosesSession) && request.session;
    const bool adopts = request.session && !known;
    if ((!opens && !closes && !adopts) || length > kBrokerBuffer) {
        return;
    }
    const auto peeked = wire::peekReply(reply, length);
    if (!peeked) {
        return;
    }
    if (opens) {
        if (peeked->rv == CKR_OK && peeked->handle) {
            hold(*peeked->handle, client);
        }
    } else if (closes) {
        if (SessionGone(peeked->rv)) {
            release(*request.session);
        }
    } else if (peeked->rv == CKR_OK) {
        hold(*request.session, client);
    }
}

void CSessionBroker::refuse(ClientId client, const Look& request, uint8_t* buffer, uint32_t& replyLength)
{
    const Client* asking = nullptr;
    for (const Client& c : m_clients) {
        asking = c.id == client ? &c : asking;
    }
    LogMessage(corvel::kLogInfo, "Refused %s of %s on %s: session %u is another client's.", request.call->name,
               asking != nullptr ? asking->label.c_str() : "a client", m_token.c_str(), *request.session);
    replyLength = EncodeStatus(CKR_SESSION_HANDLE_INVALID, buffer);
}

// The client's own sessions, one C_CloseSession each; the token's other
// sessions stay open. A token that fails, or gives no answer the daemon can
// read, makes the reply CKR_DEVICE_ERROR.
ExchangeOutcome CSessionBroker::closeAll(ClientId client, uint8_t* buffer, uint32_t& replyLength, ITokenLink& token)
{
    size_t closed = 0;
    ExchangeOutcome outcome = ExchangeOutcome::Replied;
    const auto rv = closeSessionsOf(client, buffer, token, closed, outcome);
    if (outcome != ExchangeOutcome::Replied) {
        return outcome;
    }
    replyLength = EncodeStatus(rv.value_or(CKR_DEVICE_ERROR), buffer);
    return ExchangeOutcome::Replied;
}

std::optional<uint32_t> CSessionBroker::closeSessionsOf(ClientId client, uint8_t* buffer, ITokenLink& token,
                                                        size_t& closed, ExchangeOutcome& outcome)
{
    uint32_t result = CKR_OK;
    for (size_t i = 0; i < m_sessions.size();) {
        if (m_sessions[i].owner != client) {
            ++i;
            continue;
        }
        const uint32_t session = m_sessions[i].session;
        uint32_t replyLength = 0;
        outcome = token.transfer(buffer, EncodeCloseSession(session, buffer), replyLength);
        if (outcome != ExchangeOutcome::Replied) {
            return std::nullopt;
        }
        const auto reply = replyLength <= kBrokerBuffer ? wire::peekReply(buffer, replyLength) : std::nullopt;
        if (!reply) {
            return std::nullopt;
        }
        if (SessionGone(reply->rv)) {
            release(session);  // the next entry takes its place
            ++closed;
            continue;
        }
        result = result == CKR_OK ? reply->rv : result;
        ++i;
    }
    return result;
}

void CSessionBroker::depart(std::vector<Client>::iterator client, ITokenLink& token)
{
    const size_t held = static_cast<size_t>(std::count_if(
        m_sessions.begin(), m_sessions.end(), [id = client->id](const Held& entry) { return entry.owner == id; }));
    if (held > 0) {
        size_t closed = 0;
        ExchangeOutcome outcome = ExchangeOutcome::Replied;
        closeSessionsOf(client->id, m_scratch.data(), token, closed, outcome);
        if (closed == held) {
            LogMessage(corvel::kLogInfo, "Closed the %zu session(s) that %s left open on %s.", closed,
                       client->label.c_str(), m_token.c_str());
        } else {
            LogMessage(corvel::kLogError, "Closed %zu of the %zu sessions that %s left open on %s; the token kept %s.",
                       closed, held, client->label.c_str(), m_token.c_str(), closed + 1 == held ? "one" : "the others");
        }
    }
    drop(client);
}

void CSessionBroker::drop(std::vector<Client>::iterator client)
{
    if (m_watch != nullptr && client->watch != 0) {
        m_watch->forget(client->watch);
    }
    if (client->pidfd >= 0) {
        close(client->pidfd);
    }
    m_clients.erase(client);
}

}  // namespace vexa::daemon
