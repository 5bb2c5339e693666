// The token's own functions: configuration values, clock, event log and data
// store. Meaning of the configuration calls on this token:
//   54 (selector, value)  sets config1..config3 (selector 1..3, a byte) or
//                         config4 (selector 4, a 16-bit word)
//   55 (byte)             sets config1
//   56 (first, second)    sets config2 and config3
//   61 (config4)          sets config4
//   57                    restores the factory values (all zero)
#include "Calls.h"
#include "wire/Functions.h"

namespace vexa::sim::engine {
namespace {

constexpr uint32_t kByteMax = 0xFF;
constexpr uint32_t kWordMax = 0xFFFF;

std::string describe(const TokenConfigValues& c)
{
    return std::to_string(c.config1) + " " + std::to_string(c.config2) + " " + std::to_string(c.config3) + " " +
           std::to_string(c.config4);
}

CK_RV changeConfig(CToken& token, const TokenConfigValues& next)
{
    const TokenConfigValues before = token.config();
    token.config() = next;
    if (!token.saveSettings()) {
        token.config() = before;
        return CKR_DEVICE_ERROR;
    }
    token.record("configuration set to " + describe(next));
    return CKR_OK;
}

bool isByte(const std::optional<uint32_t>& v) { return v && *v <= kByteMax; }

CK_RV getConfig(CToken& token, const Request&, Response& resp)
{
    const TokenConfigValues& c = token.config();
    resp.tokenConfig = RpcTokenConfig{true, c.config1, true, c.config2, true, c.config3, true, c.config4};
    return CKR_OK;
}

CK_RV setValue(CToken& token, const Request& req, Response&)
{
    if (!req.handle || !req.value) {
        return CKR_ARGUMENTS_BAD;
    }
    TokenConfigValues next = token.config();
    const uint32_t v = *req.value;
    switch (*req.handle) {
    case 1:
        next.config1 = static_cast<uint8_t>(v);
        break;
    case 2:
        next.config2 = static_cast<uint8_t>(v);
        break;
    case 3:
        next.config3 = static_cast<uint8_t>(v);
        break;
    case 4:
        next.config4 = static_cast<uint16_t>(v);
        break;
    default:
        return CKR_ARGUMENTS_BAD;
    }
    if (v > (*req.handle == 4 ? kWordMax : kByteMax)) {
        return CKR_ARGUMENTS_BAD;
    }
    return changeConfig(token, next);
}

CK_RV setByte(CToken& token, const Request& req, Response&)
{
    if (!isByte(req.handle)) {
        return CKR_ARGUMENTS_BAD;
    }
    TokenConfigValues next = token.config();
    next.config1 = static_cast<uint8_t>(*req.handle);
    return changeConfig(token, next);
}

CK_RV setBytePair(CToken& token, const Request& req, Response&)
{
    if (!isByte(req.handle) || !isByte(req.handle2)) {
        return CKR_ARGUMENTS_BAD;
    }
    TokenConfigValues next = token.config();
    next.config2 = static_cast<uint8_t>(*req.handle);
    next.config3 = static_cast<uint8_t>(*req.handle2);
    return changeConfig(token, next);
}

CK_RV setConfigWord(CToken& token, const Request& req, Response&)
{
    if (!req.tokenConfig || !req.tokenConfig->has_config4 || req.tokenConfig->config4 > kWordMax) {
        return CKR_ARGUMENTS_BAD;
    }
    TokenConfigValues next = token.config();
    next.config4 = static_cast<uint16_t>(req.tokenConfig->config4);
    return changeConfig(token, next);
}

CK_RV command(CToken& token, const Request&, Response&) { return changeConfig(token, TokenConfigValues{}); }

CK_RV setDateTime(CToken& token, const Request& req, Response&)
{
    if (!req.handle) {
        return CKR_ARGUMENTS_BAD;
    }
    const int64_t before = token.clock().offset();
    token.clock().set(*req.handle);
    if (!token.saveSettings()) {
        token.clock() = CTokenClock(before);
        return CKR_DEVICE_ERROR;
    }
    token.record("clock set");
    return CKR_OK;
}

CK_RV readLog(CToken& token, const Request& req, Response& resp)
{
    const std::string& text = token.events().text();
    resp.outputLength = static_cast<uint32_t>(text.size());
    if (text.size() > req.outputLength.value_or(0)) {
        return CKR_BUFFER_TOO_SMALL;
    }
    resp.output = Bytes(text.begin(), text.end());
    return CKR_OK;
}

CK_RV readData(CToken& token, const Request& req, Response& resp)
{
    CDataStore::ReadChunk chunk;
    CK_RV rv = token.data().read(req.outputLength.value_or(0), req.handle.value_or(0), chunk);
    if (rv == CKR_BUFFER_TOO_SMALL) {
        resp.outputLength = chunk.needed;
    }
    if (rv == CKR_OK || rv == CKR_OPERATION_ACTIVE) {
        resp.output = std::move(chunk.bytes);
        resp.handle = chunk.cursor;
    }
    return rv;
}

CK_RV writeData(CToken& token, const Request& req, Response&)
{
    if (!req.handle || !req.handle2 || !req.data) {
        return CKR_ARGUMENTS_BAD;
    }
    CK_RV rv = token.data().write(*req.handle, *req.data, *req.handle2);
    if (rv == CKR_OK) {
        token.record("data store written, " + std::to_string(*req.handle) + " bytes");
    }
    return rv;
}

}  // namespace

void addVendorCalls(CallTable& t)
{
    t[fn::GetTokenConfig] = getConfig;
    t[fn::SetTokenValue] = setValue;
    t[fn::SetTokenByte] = setByte;
    t[fn::SetTokenBytePair] = setBytePair;
    t[fn::SetTokenConfigWord] = setConfigWord;
    t[fn::TokenCommand] = command;
    t[fn::SetDateTime] = setDateTime;
    t[fn::ReadLogEntries] = readLog;
    t[fn::ReadTokenData] = readData;
    t[fn::WriteTokenData] = writeData;
}

}  // namespace vexa::sim::engine
