#include <pb_decode.h>
#include <pb_encode.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <vector>

#include "CContext.h"

namespace vexa::pkcs11 {

using namespace corvel;

namespace {

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

void CContext::callToken(CK_SLOT_ID slot, RpcRequest& request, RpcResponse& response, bool clearResponse,
                         std::optional<uint32_t> replyTimeout)
{
    std::vector<uint8_t> buffer(kExchangeBufferSize, 0);
    if (clearResponse) {
        response = RpcResponse{};
    }
    BoundedOutput bounded{buffer.data(), buffer.size()};
    pb_ostream_t out{writeBounded, &bounded, SIZE_MAX, 0, nullptr};
    const bool encoded = pb_encode(&out, RpcRequest_fields, &request);
    if (out.bytes_written > buffer.size()) {
        logText(kLogError, "stream full");
        response.rv = CKR_DATA_LEN_RANGE;
        return;
    }
    if (!encoded || out.bytes_written == 0) {
        logText(kLogError, out.errmsg != nullptr ? out.errmsg : "function encoding failed");
        response.rv = CKR_FUNCTION_FAILED;
        return;
    }
    const SlotPtr found = findSlot(slot);
    const size_t received =
        found != nullptr ? exchange(*found, buffer.data(), buffer.size(), out.bytes_written, replyTimeout) : 0;
    if (found == nullptr) {
        logText(kLogError, "Port not found");
    }
    if (received == 0) {
        logText(kLogError, "no response from transport.");
        response.rv = CKR_FUNCTION_FAILED;
        return;
    }
    pb_istream_t in = pb_istream_from_buffer(buffer.data(), received);
    // NOINIT: the caller's presets and callbacks stay; a cleared response is already zero.
    if (!pb_decode_ex(&in, RpcResponse_fields, &response, PB_DECODE_NOINIT)) {
        logText(kLogError, in.errmsg != nullptr ? in.errmsg : "function decoding failed");
        response.rv = CKR_FUNCTION_FAILED;
    }
}

// Every failure of the exchange, whatever its kind, fails the call: the
// library has no result that would tell the application more. Stream
// transports have closed themselves where a late reply could follow; a
// closed transport is opened again by the next exchange. Only a write that
// finds its connection or device gone is tried again at once, over a fresh
// one.
size_t CContext::exchange(CTransport& transport, uint8_t* buffer, size_t capacity, size_t length,
                          std::optional<uint32_t> replyTimeout)
{
    try {
        ExchangeGuard guard(m_exchangeLock);
        if (!guard.held()) {
            logText(kLogError, "Failed to obtain mutex lock.");
            return 0;
        }
        size_t received = 0;
        {
            CReplyTimeout wait(transport, replyTimeout);
            received = exchange_inlock(transport, buffer, capacity, length);
        }
        guard.release();
        return received;
    } catch (const std::exception& error) {
        logExchangeFailure(error.what());
    } catch (...) {
        logExchangeFailure(nullptr);
    }
    return 0;
}

size_t CContext::exchange_inlock(CTransport& transport, uint8_t* buffer, size_t capacity, size_t length)
{
    if (!transport.isOpen()) {
        transport.open();
    }
    try {
        transport.write(buffer, length);
    } catch (const IOException& failure) {
        // The connection or device it wrote to had gone (a token plugged in
        // again, a daemon restarted): no token answers a request cut short,
        // so it goes once more over a fresh one.
        if (failure.failure() != TransportFailure::Closed) {
            throw;
        }
        logText(kLogInfo, failure.what());
        transport.open();
        transport.write(buffer, length);
    }
    return transport.read(buffer, capacity);
}

void CContext::logExchangeFailure(const char* what)
{
    if (what != nullptr && *what != '\0') {
        logText(kLogError, what);
    } else {
        logText(kLogError, "Failed to transmit command.");
    }
}

}  // namespace vexa::pkcs11
