#include "CallPath.h"

#include <pb_decode.h>
#include <pb_encode.h>

#include <algorithm>
#include <cstring>
#include <exception>

#include "FieldCallbacks.h"
#include "wire/CallTable.h"

namespace vexa::pkcs11 {

using namespace corvel;

namespace {

// The innermost hold of the calling thread; each hold links to the one it
// was made inside.
thread_local CHeldSlot* t_innermostHold = nullptr;

thread_local bool t_tokenEnded = false;

// The name of a field that the function's every successful reply has and
// this one lacks; null when none is missing. Byte strings and lists are
// never needed fields.
const char* missingNeededField(uint32_t function, const RpcResponse& response)
{
    const wire::Call* row = wire::findCall(function);
    if (row == nullptr || response.rv != CKR_OK) {
        return nullptr;
    }
    using wire::ReplyField;
    const struct {
        ReplyField field;
        bool present;
        const char* name;
    } fields[] = {
        {ReplyField::Handle, response.has_handle, "handle"},
        {ReplyField::Handle2, response.has_handle2, "handle2"},
        {ReplyField::OutputLength, response.has_outputLength, "outputLength"},
        {ReplyField::SessionInfo, response.has_sessionInfo, "sessionInfo"},
        {ReplyField::TokenInfo, response.has_tokenInfo, "tokenInfo"},
        {ReplyField::TokenConfig, response.has_tokenConfig, "tokenConfig"},
    };
    for (const auto& f : fields) {
        if ((row->needs() & wire::bitOf(f.field)) != 0 && !f.present) {
            return f.name;
        }
    }
    return nullptr;
}

// Writes what fits into the buffer and counts every byte, so that the size of
// a request too large for the buffer is known without encoding it twice: the
// template writer changes the caller's template as it goes, and a second pass
// would send other lengths than the first.
// The position lives here, not in the stream: nanopb writes submessages
// through substreams that count from 0.
struct BoundedOutput {
    uint8_t* buffer;
    size_t capacity;
    size_t position = 0;
};

bool writeBounded(pb_ostream_t* stream, const pb_byte_t* bytes, size_t count)
{
    auto* out = static_cast<BoundedOutput*>(stream->state);
    if (out->position < out->capacity) {
        std::memcpy(out->buffer + out->position, bytes, std::min(count, out->capacity - out->position));
    }
    out->position += count;
    return true;
}

// Restores the transport's own reply wait when the one exchange that needed a
// longer one is over, on every way out.
class CReplyTimeout {
public:
    CReplyTimeout(CTransport& transport, std::optional<uint32_t> milliseconds) : m_transport(transport)
    {
        if (milliseconds) {
            m_saved = transport.getTimeout();
            transport.setTimeout(*milliseconds);
        }
    }
    ~CReplyTimeout()
    {
        if (!m_saved) {
            return;
        }
        try {
            m_transport.setTimeout(*m_saved);
        } catch (...) {
            // Runs while an exception may already be on its way out.
        }
    }
    CReplyTimeout(const CReplyTimeout&) = delete;
    CReplyTimeout& operator=(const CReplyTimeout&) = delete;

private:
    CTransport& m_transport;
    std::optional<uint32_t> m_saved;
};

}  // namespace

void forgetLastAnswer() { t_tokenEnded = false; }

bool tokenEndedOperation() { return t_tokenEnded; }

CCallPath::CCallPath(CSlotTable& slots, CSessionTable& sessions, CLogTarget& log, const LibrarySettings& settings)
    : m_slots(slots), m_sessions(sessions), m_log(log), m_settings(settings)
{}

void CCallPath::callToken(CK_SLOT_ID slot, RpcRequest& request, RpcResponse& response, bool clearResponse,
                          std::optional<uint32_t> replyTimeout)
{
    CHeldSlot held(*this, slot);
    held.exchange(request, response, clearResponse, replyTimeout);
}

SlotPtr CHeldSlot::slotFor(CCallPath& path, CK_SLOT_ID slot, const CHeldSlot* outer)
{
    for (const CHeldSlot* hold = outer; hold != nullptr; hold = hold->m_outer) {
        if (hold->m_slotId == slot && hold->m_slot != nullptr) {
            return hold->m_slot;
        }
    }
    return path.m_slots.find(slot);
}

CHeldSlot::CHeldSlot(CCallPath& path, CK_SLOT_ID slot)
    : m_path(path), m_slotId(slot), m_slot(slotFor(path, slot, t_innermostHold)), m_outer(t_innermostHold)
{
    for (CHeldSlot* hold = m_outer; hold != nullptr && m_slot != nullptr; hold = hold->m_outer) {
        if (hold->m_slot == m_slot) {
            m_joined = hold;
            break;
        }
    }
    t_innermostHold = this;
}

CHeldSlot::~CHeldSlot()
{
    t_innermostHold = m_outer;
    if (m_joined != nullptr || m_lock != LockState::Held) {
        return;
    }
    try {
        m_slot->exchangeLock().release();
    } catch (const std::exception& error) {
        m_path.m_log.logText(kLogError, error.what());
    } catch (...) {
        // A destructor must not throw; every part is released regardless.
    }
}

bool CHeldSlot::holdLock()
{
    if (m_joined != nullptr) {
        return m_joined->holdLock();
    }
    if (m_lock != LockState::Untried) {
        return m_lock == LockState::Held;
    }
    m_lock = LockState::Failed;
    CLogTarget& log = m_path.m_log;
    try {
        const auto wait = std::chrono::milliseconds(m_path.m_settings.timeout);
        switch (m_slot->exchangeLock().acquire(wait)) {
        case CExchangeLock::Outcome::Held:
            m_lock = LockState::Held;
            break;
        case CExchangeLock::Outcome::Refused:
            log.logText(kLogError, "Failed to obtain mutex lock.");
            break;
        case CExchangeLock::Outcome::LockFileBusy:
            log.logFormat(kLogError, "Lock file %s: another process kept the token for more than %u ms",
                          m_slot->exchangeLock().lockFilePath().c_str(), m_path.m_settings.timeout);
            break;
        }
    } catch (const std::exception& error) {
        log.logText(kLogError, error.what());
    }
    return m_lock == LockState::Held;
}

void CHeldSlot::exchange(TokenCall& call)
{
    run(call.request, call.response, false, call.replyTimeout, call.session, &call.generation);
}

void CHeldSlot::exchange(RpcRequest& request, RpcResponse& response, bool clearResponse,
                         std::optional<uint32_t> replyTimeout)
{
    run(request, response, clearResponse, replyTimeout, std::nullopt, nullptr);
}

bool CHeldSlot::run(RpcRequest& request, RpcResponse& response, bool clearResponse,
                    std::optional<uint32_t> replyTimeout, const std::optional<BoundSession>& session,
                    uint64_t* generation)
{
    if (clearResponse) {
        response = RpcResponse{};
    }
    const std::optional<FamilyCall> family = session ? familyOf(request.function) : std::nullopt;
    if (family) {
        // A result kept for the application is abandoned once it goes on
        // with the family otherwise.
        m_path.m_sessions.dropResult(session->handle, family->family);
        if (!settleOperation(request, *session, family->family)) {
            response.rv = CKR_FUNCTION_FAILED;
            return false;
        }
    }
    bool sent = false;
    const bool answered = exchangeEncoded(request, response, replyTimeout, session, generation, sent);
    if (!family) {
        return answered;
    }
    if (answered) {
        const CK_RV rv = response.rv;
        const bool query = request.has_lengthOnly && request.lengthOnly;
        t_tokenEnded = rv != CKR_BUFFER_TOO_SMALL && !query && (rv != CKR_OK || family->kind == CallKind::End);
    } else if ((family->kind != CallKind::Start || sent) && response.rv != CKR_SESSION_HANDLE_INVALID) {
        // The application learns that the operation ended (or, for an Init,
        // that none started) while the token may hold one.
        m_path.m_sessions.markEndPending(session->handle, family->family);
    }
    return answered;
}

bool CHeldSlot::settleOperation(const RpcRequest& request, const BoundSession& session, Family family)
{
    if (!m_path.m_sessions.takeEndPending(session.handle, family)) {
        return true;
    }
    RpcRequest end = RpcRequest_init_zero;
    RpcResponse reply = RpcResponse_init_zero;
    end.has_session = request.has_session;
    end.session = request.session;
    uint8_t dummySignature = 0;
    ByteSpan signature{&dummySignature, 1};
    fillOperationEnd(family, end, signature);
    OutputBuffer dropped;  // no buffer: the output is read past
    setOutput(reply.output, dropped);
    m_path.m_log.logFormat(kLogDebug, "Ending the token's operation of session %u before function %u",
                           static_cast<unsigned>(request.session), static_cast<unsigned>(request.function));
    // Whatever the token answers, its operation has ended.
    return run(end, reply, false, std::nullopt, session, nullptr);
}

bool CHeldSlot::exchangeEncoded(RpcRequest& request, RpcResponse& response, std::optional<uint32_t> replyTimeout,
                                const std::optional<BoundSession>& session, uint64_t* generation, bool& sent)
{
    CLogTarget& log = m_path.m_log;
    // Not cleared: the encoder writes what it sends, and only the received
    // bytes are decoded.
    uint8_t buffer[kExchangeBufferSize];
    BoundedOutput bounded{buffer, sizeof buffer};
    pb_ostream_t out{writeBounded, &bounded, SIZE_MAX, 0, nullptr};
    const bool encoded = pb_encode(&out, RpcRequest_fields, &request);
    if (out.bytes_written > sizeof buffer) {
        log.logText(kLogError, "stream full");
        response.rv = CKR_DATA_LEN_RANGE;
        return false;
    }
    if (!encoded || out.bytes_written == 0) {
        log.logText(kLogError, out.errmsg != nullptr ? out.errmsg : "function encoding failed");
        response.rv = CKR_FUNCTION_FAILED;
        return false;
    }
    if (m_slot == nullptr) {
        log.logText(kLogError, "Port not found");
    }
    size_t received = 0;
    bool stale = false;
    if (m_slot != nullptr && holdLock()) {
        try {
            CReplyTimeout wait(m_slot->transport_inlock(), replyTimeout);
            received = transfer_inlock(buffer, out.bytes_written, session, stale, sent);
        } catch (const std::exception& error) {
            logExchangeFailure(error.what());
        } catch (...) {
            logExchangeFailure(nullptr);
        }
        if (generation != nullptr) {
            *generation = m_slot->generation_inlock();
        }
    }
    if (stale) {
        response.rv = CKR_SESSION_HANDLE_INVALID;
        return false;
    }
    if (received == 0) {
        log.logText(kLogError, "no response from transport.");
        response.rv = CKR_FUNCTION_FAILED;
        return false;
    }
    pb_istream_t in = pb_istream_from_buffer(buffer, received);
    // NOINIT: the caller's presets and callbacks stay; a cleared response is already zero.
    if (!pb_decode_ex(&in, RpcResponse_fields, &response, PB_DECODE_NOINIT)) {
        log.logText(kLogError, in.errmsg != nullptr ? in.errmsg : "function decoding failed");
        response.rv = CKR_FUNCTION_FAILED;
        return false;
    }
    if (const char* missing = missingNeededField(request.function, response)) {
        log.logFormat(kLogError, "Reply of function %u has rv CKR_OK but no %s",
                      static_cast<unsigned>(request.function), missing);
        response.rv = CKR_DEVICE_ERROR;
    }
    // The token no longer knows the session: its number may soon name
    // another application's session, which this handle must never reach.
    if (session && (response.rv == CKR_SESSION_HANDLE_INVALID || response.rv == CKR_SESSION_CLOSED)) {
        m_path.m_sessions.remove(session->handle);
    }
    return true;
}

// Every failure of the exchange, whatever its kind, fails the call: the
// library has no result that would tell the application more. Stream
// transports have closed themselves where a late reply could follow; a
// closed transport is opened again by the next exchange. Only a write that
// finds its connection or device gone is tried again at once, over a fresh
// one, unless the fresh one reaches another device than the session's.
size_t CHeldSlot::transfer_inlock(uint8_t* buffer, size_t length, const std::optional<BoundSession>& session,
                                  bool& stale, bool& sent)
{
    CTransport& transport = m_slot->transport_inlock();
    if (!transport.isOpen()) {
        openTransport_inlock(transport);
    }
    if ((stale = isStale_inlock(session))) {
        return 0;
    }
    try {
        sent = true;
        transport.write(buffer, length);
    } catch (const IOException& failure) {
        // The connection or device it wrote to had gone (a token plugged in
        // again, a daemon restarted): no token answers a request cut short,
        // so it goes once more over a fresh one.
        if (failure.failure() != TransportFailure::Closed) {
            throw;
        }
        m_path.m_log.logText(kLogInfo, failure.what());
        openTransport_inlock(transport);
        if ((stale = isStale_inlock(session))) {
            return 0;
        }
        transport.write(buffer, length);
    }
    return transport.read(buffer, kExchangeBufferSize);
}

// A transport that reaches another device than before has a token that
// holds none of the sessions opened on the old one.
void CHeldSlot::openTransport_inlock(CTransport& transport)
{
    transport.open();
    m_slot->setProduct(transport.getProduct());
    const uint64_t generation = transport.deviceGeneration();
    if (generation == m_slot->generation_inlock()) {
        return;
    }
    m_slot->setGeneration_inlock(generation);
    const auto slot = static_cast<SlotId>(m_slotId);
    const size_t forgotten = m_path.m_sessions.removeOtherDevices(slot, generation);
    if (forgotten != 0) {
        m_path.m_log.logFormat(kLogInfo, "Token of slot %d was replaced: %zu session handles forgotten", slot,
                               forgotten);
    }
}

bool CHeldSlot::isStale_inlock(const std::optional<BoundSession>& session) const
{
    return session && session->generation != m_slot->generation_inlock();
}

corvel::CTransport* CHeldSlot::reach()
{
    if (m_slot == nullptr || !holdLock()) {
        return nullptr;
    }
    CTransport& transport = m_slot->transport_inlock();
    try {
        if (!transport.isOpen()) {
            openTransport_inlock(transport);
        }
        return &transport;
    } catch (const std::exception& error) {
        m_path.m_log.logText(kLogError, error.what());
        return nullptr;
    }
}

corvel::CTransport* CHeldSlot::lockedTransport()
{
    return m_slot != nullptr && holdLock() ? &m_slot->transport_inlock() : nullptr;
}

void CHeldSlot::logExchangeFailure(const char* what)
{
    if (what != nullptr && *what != '\0') {
        m_path.m_log.logText(kLogError, what);
    } else {
        m_path.m_log.logText(kLogError, "Failed to transmit command.");
    }
}

}  // namespace vexa::pkcs11
