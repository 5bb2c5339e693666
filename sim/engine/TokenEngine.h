#pragma once
// The firmware of a working token: each request message is decoded as an
// RpcRequest, executed on the token's SoftHSM2 token or its own state, and
// answered with one RpcResponse of at most 2048 bytes.
#include <memory>
#include <mutex>

#include "Calls.h"
#include "EngineOptions.h"
#include "Firmware.h"
#include "Wire.h"

namespace vexa::sim::engine {

class CToken;

class CTokenEngine : public IFirmware {
public:
    // Throws std::runtime_error when the token cannot be brought up.
    CTokenEngine(const TokenIdentity& identity, const EngineOptions& options);
    ~CTokenEngine() override;

    // Always answers: an undecodable request gets rv CKR_FUNCTION_FAILED.
    bool handle(const std::vector<uint8_t>& request, std::vector<uint8_t>& reply) override;

    // The same, for a request that is already decoded.
    Response call(const Request& req);

private:
    CK_RV execute(const Request& req, Response& resp);

    const CallTable m_calls;
    std::mutex m_mutex;  // guards m_token: its sessions, handles, files and SoftHSM2 operations
    std::unique_ptr<CToken> m_token;
};

}  // namespace vexa::sim::engine
