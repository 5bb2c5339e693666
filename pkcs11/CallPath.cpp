#include <pb_decode.h>
#include <pb_encode.h>

#include <cstring>
#include <exception>
#include <vector>

#include "CContext.h"
#include "Exception.h"

namespace vexa::pkcs11 {

using namespace corvel;

void CContext::callToken(RpcRequest& request, RpcResponse& response, bool clearResponse)
{
    std::vector<uint8_t> buffer(kExchangeBufferSize, 0);
    if (clearResponse) {
        response = RpcResponse{};
    }
    pb_ostream_t out = pb_ostream_from_buffer(buffer.data(), buffer.size());
    const bool encoded = pb_encode(&out, RpcRequest_fields, &request);
    if (!encoded || out.bytes_written == 0) {
        if (out.errmsg != nullptr) {
            logText(kLogError, out.errmsg);
            response.rv = std::strcmp(out.errmsg, "stream full") == 0 ? CKR_DATA_LEN_RANGE : CKR_FUNCTION_FAILED;
        } else {
            logText(kLogError, "function encoding failed");
            response.rv = CKR_FUNCTION_FAILED;
        }
        return;
    }
    const size_t received = exchange(buffer.data(), buffer.size(), out.bytes_written);
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

size_t CContext::exchange(uint8_t* buffer, size_t capacity, size_t length)
{
    const auto slot = m_slots.find(currentSlot());
    if (slot == m_slots.end()) {
        logText(kLogError, "Port not found");
        return 0;
    }
    CTransport& transport = *slot->second.transport;
    try {
        ExchangeGuard guard(m_exchangeLock);
        if (!guard.held()) {
            throw IOException("Failed to obtain mutex lock.");
        }
        if (!transport.isOpen()) {
            transport.open();
        }
        transport.write(buffer, length);
        const size_t received = transport.read(buffer, capacity);
        guard.release();
        setCurrentSlot(kNoSlot);
        return received;
    } catch (const std::exception& error) {
        logExchangeFailure(error.what());
    } catch (...) {
        logExchangeFailure(nullptr);
    }
    return 0;
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
