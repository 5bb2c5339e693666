#include "SessionToken.h"

#include <algorithm>
#include <stdexcept>

namespace vexa::daemon::test {

std::vector<uint8_t> SessionToken::answer(const std::vector<uint8_t>& request)
{
    wire::Request decoded;
    wire::Response response{CKR_GENERAL_ERROR};
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (silent) {
            return {};
        }
        if (wire::decodeRequest(request, decoded)) {
            m_calls.push_back({decoded.function, decoded.session});
            response = respond(decoded);
        }
    }
    std::vector<uint8_t> reply;
    if (!wire::encodeResponse(response, reply, 4096)) {
        throw std::logic_error("reply does not encode");
    }
    return reply;
}

wire::Response SessionToken::respond(const wire::Request& request)
{
    const wire::Call* call = wire::findCall(request.function);
    if (call == nullptr) {
        return {CKR_FUNCTION_NOT_SUPPORTED};
    }
    if (request.function == fn::OpenSession) {
        m_sessions.insert(m_next);
        return {CKR_OK, m_next++};
    }
    if (request.function == fn::CloseAllSessions) {
        m_sessions.clear();
        m_loggedIn = false;
        return {CKR_OK};
    }
    if (!call->namesSession()) {
        return {CKR_OK};
    }
    if (!request.session || m_sessions.count(*request.session) == 0) {
        return {CKR_SESSION_HANDLE_INVALID};
    }
    if (request.function == fn::CloseSession) {
        if (refuseClose != CKR_OK) {
            return {refuseClose};
        }
        m_sessions.erase(*request.session);
        m_loggedIn = m_loggedIn && !m_sessions.empty();
    } else if (request.function == fn::Login) {
        if (m_loggedIn) {
            return {CKR_USER_ALREADY_LOGGED_IN};
        }
        m_loggedIn = true;
    }
    return {CKR_OK};
}

void SessionToken::opened(uint32_t session)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sessions.insert(session);
    m_next = std::max(m_next, session + 1);
}

bool SessionToken::isOpen(uint32_t session) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sessions.count(session) != 0;
}

bool SessionToken::loggedIn() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_loggedIn;
}

std::vector<TokenCall> SessionToken::calls() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

void SessionToken::forgetCalls()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.clear();
}

size_t SessionTokenTransport::write(const std::vector<uint8_t>& data) { return write(data.data(), data.size()); }

size_t SessionTokenTransport::write(const uint8_t* data, size_t length)
{
    m_reply = m_token.answer(std::vector<uint8_t>(data, data + length));
    return length;
}

size_t SessionTokenTransport::read(uint8_t* buffer, size_t capacity)
{
    const size_t count = std::min(capacity, m_reply.size());
    std::copy(m_reply.begin(), m_reply.begin() + static_cast<long>(count), buffer);
    m_reply.clear();
    return count;
}

std::vector<uint8_t> EncodedCall(uint32_t function, std::optional<uint32_t> session)
{
    wire::Request request;
    request.function = function;
    request.session = session;
    std::vector<uint8_t> bytes;
    if (!wire::encodeRequest(request, bytes, wire::kMaxRequest)) {
        throw std::logic_error("request does not encode");
    }
    return bytes;
}

}  // namespace vexa::daemon::test
