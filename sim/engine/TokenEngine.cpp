#include "TokenEngine.h"

#include <new>

#include "Limits.h"
#include "Token.h"

namespace vexa::sim::engine {
namespace {

CallTable allCalls()
{
    CallTable t;
    addSessionCalls(t);
    addObjectCalls(t);
    addCryptoCalls(t);
    addKeyCalls(t);
    addVendorCalls(t);
    addBitcoinCalls(t);
    return t;
}

Bytes encodeRv(CK_RV rv)
{
    Response resp;
    resp.rv = static_cast<uint32_t>(rv);
    Bytes out;
    encodeResponse(resp, out, kMaxReply);
    return out;
}

}  // namespace

CTokenEngine::CTokenEngine(const TokenIdentity& identity, const EngineOptions& options)
    : m_calls(allCalls()), m_token(std::make_unique<CToken>(identity, options))
{}

CTokenEngine::~CTokenEngine() = default;

bool CTokenEngine::handle(const std::vector<uint8_t>& request, std::vector<uint8_t>& reply)
{
    Request req;
    if (!decodeRequest(request, req)) {
        reply = encodeRv(CKR_FUNCTION_FAILED);
        return true;
    }
    Response resp = call(req);
    // A reply over the limit is a fault of this token; the caller still gets
    // an answer it can decode.
    if (!encodeResponse(resp, reply, kMaxReply)) {
        reply = encodeRv(CKR_DATA_LEN_RANGE);
    }
    return true;
}

Response CTokenEngine::call(const Request& req)
{
    Response resp;
    CK_RV rv;
    try {
        std::lock_guard<std::mutex> lock(m_mutex);
        rv = execute(req, resp);
    } catch (const std::bad_alloc&) {
        resp = Response();
        rv = CKR_DEVICE_MEMORY;
    } catch (const std::exception&) {
        resp = Response();
        rv = CKR_DEVICE_ERROR;
    }
    resp.rv = static_cast<uint32_t>(rv);
    return resp;
}

CK_RV CTokenEngine::execute(const Request& req, Response& resp)
{
    auto it = m_calls.find(req.function);
    if (it == m_calls.end()) {
        return CKR_FUNCTION_NOT_SUPPORTED;
    }
    return it->second(*m_token, req, resp);
}

}  // namespace vexa::sim::engine
