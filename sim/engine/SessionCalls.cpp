// Sessions, login and PINs, token information and random numbers.
#include <cstring>

#include "Calls.h"
#include "Limits.h"
#include "Output.h"
#include "wire/Functions.h"

namespace vexa::sim::engine {
namespace {

constexpr uint8_t kHardwareVersion[] = {2, 0};
constexpr uint8_t kFirmwareVersion[] = {1, 0};

const char* userName(CK_ULONG userType)
{
    switch (userType) {
    case CKU_SO:
        return "SO";
    case CKU_USER:
        return "user";
    case CKU_CONTEXT_SPECIFIC:
        return "context-specific user";
    default:
        return "unknown user";
    }
}

CK_RV initToken(CToken& token, const Request& req, Response&)
{
    if (!req.data2) {
        return CKR_ARGUMENTS_BAD;
    }
    // SoftHSM2 reads exactly 32 label bytes.
    std::string label = padded(std::string(req.data2->begin(), req.data2->end()), 32);
    CK_RV rv = token.p11().C_InitToken(token.slot(), input(req.data), inputLength(req.data),
                                       reinterpret_cast<CK_UTF8CHAR_PTR>(label.data()));
    if (rv == CKR_OK) {
        token.wiped();
        token.record("token initialised");
    } else {
        token.record("token initialisation refused (" + hex32(rv) + ")");
    }
    return rv;
}

CK_RV openSession(CToken& token, const Request& req, Response& resp)
{
    if (token.sessionCount() >= kMaxSessions) {
        return CKR_SESSION_COUNT;
    }
    CK_SESSION_HANDLE s = 0;
    CK_RV rv = token.p11().C_OpenSession(token.slot(), req.value.value_or(0), nullptr, nullptr, &s);
    if (rv == CKR_OK) {
        rv = token.addSession(s);
    }
    if (rv == CKR_OK) {
        resp.handle = static_cast<uint32_t>(s);
    }
    return rv;
}

CK_RV closeSession(CToken& token, const Request& req, Response&)
{
    CK_SESSION_HANDLE s;
    if (CK_RV rv = token.session(req, s); rv != CKR_OK) {
        return rv;
    }
    token.dropSession(s);
    return token.p11().C_CloseSession(s);
}

CK_RV closeAllSessions(CToken& token, const Request&, Response&)
{
    token.dropAllSessions();
    return token.p11().C_CloseAllSessions(token.slot());
}

CK_RV login(CToken& token, const Request& req, Response&)
{
    CK_SESSION_HANDLE s;
    if (CK_RV rv = token.session(req, s); rv != CKR_OK) {
        return rv;
    }
    const CK_ULONG user = req.value.value_or(CKU_USER);
    CK_RV rv = token.p11().C_Login(s, user, input(req.data), inputLength(req.data));
    if (rv == CKR_OK) {
        token.record(std::string("login ") + userName(user));
    } else {
        token.record(std::string("login ") + userName(user) + " refused (" + hex32(rv) + ")");
    }
    return rv;
}

CK_RV logout(CToken& token, const Request& req, Response&)
{
    CK_SESSION_HANDLE s;
    if (CK_RV rv = token.session(req, s); rv != CKR_OK) {
        return rv;
    }
    CK_RV rv = token.p11().C_Logout(s);
    if (rv == CKR_OK) {
        token.record("logout");
    }
    return rv;
}

CK_RV initPin(CToken& token, const Request& req, Response&)
{
    CK_SESSION_HANDLE s;
    if (CK_RV rv = token.session(req, s); rv != CKR_OK) {
        return rv;
    }
    CK_RV rv = token.p11().C_InitPIN(s, input(req.data), inputLength(req.data));
    if (rv == CKR_OK) {
        token.record("user PIN initialised");
    }
    return rv;
}

CK_RV setPin(CToken& token, const Request& req, Response&)
{
    CK_SESSION_HANDLE s;
    if (CK_RV rv = token.session(req, s); rv != CKR_OK) {
        return rv;
    }
    CK_RV rv =
        token.p11().C_SetPIN(s, input(req.data), inputLength(req.data), input(req.data2), inputLength(req.data2));
    token.record(rv == CKR_OK ? "PIN changed" : "PIN change refused (" + hex32(rv) + ")");
    return rv;
}

CK_RV sessionInfo(CToken& token, const Request& req, Response& resp)
{
    CK_SESSION_HANDLE s;
    if (CK_RV rv = token.session(req, s); rv != CKR_OK) {
        return rv;
    }
    CK_SESSION_INFO info{};
    CK_RV rv = token.p11().C_GetSessionInfo(s, &info);
    if (rv == CKR_OK) {
        resp.sessionInfo = RpcSessionInfo{wire32(info.state), wire32(info.flags), wire32(info.ulDeviceError)};
    }
    return rv;
}

template <typename Field>
void setText(Field& field, const std::string& text)
{
    const std::string p = padded(text, sizeof field.bytes);
    std::memcpy(field.bytes, p.data(), sizeof field.bytes);
    field.size = sizeof field.bytes;
}

CK_RV tokenInfo(CToken& token, const Request&, Response& resp)
{
    CK_TOKEN_INFO info{};
    CK_RV rv = token.p11().C_GetTokenInfo(token.slot(), &info);
    if (rv != CKR_OK) {
        return rv;
    }
    RpcTokenInfo t = RpcTokenInfo_init_zero;
    setText(t.label, std::string(reinterpret_cast<const char*>(info.label), sizeof info.label));
    setText(t.manufacturerID, "corvelWorks");
    setText(t.model, token.identity().product);
    setText(t.serialNumber, token.identity().serial);
    setText(t.utcTime, CTokenClock::utcTime(token.clock().now()));
    t.flags = wire32(info.flags | CKF_CLOCK_ON_TOKEN);
    t.maxSessionCount = t.maxRwSessionCount = static_cast<uint32_t>(kMaxSessions);
    t.sessionCount = wire32(info.ulSessionCount);
    t.rwSessionCount = wire32(info.ulRwSessionCount);
    t.maxPinLen = wire32(info.ulMaxPinLen);
    t.minPinLen = wire32(info.ulMinPinLen);
    t.totalPublicMemory = wire32(info.ulTotalPublicMemory);
    t.freePublicMemory = wire32(info.ulFreePublicMemory);
    t.totalPrivateMemory = wire32(info.ulTotalPrivateMemory);
    t.freePrivateMemory = wire32(info.ulFreePrivateMemory);
    t.hardwareVersionMajor = kHardwareVersion[0];
    t.hardwareVersionMinor = kHardwareVersion[1];
    t.firmwareVersionMajor = kFirmwareVersion[0];
    t.firmwareVersionMinor = kFirmwareVersion[1];
    resp.tokenInfo = t;
    return CKR_OK;
}

CK_RV generateRandom(CToken& token, const Request& req, Response& resp)
{
    CK_SESSION_HANDLE s;
    if (CK_RV rv = token.session(req, s); rv != CKR_OK) {
        return rv;
    }
    const uint32_t n = req.outputLength.value_or(0);
    if (n > kMaxOutput) {
        return CKR_DATA_LEN_RANGE;
    }
    Bytes out(n);
    if (n) {
        if (CK_RV rv = token.p11().C_GenerateRandom(s, out.data(), n); rv != CKR_OK) {
            return rv;
        }
    }
    resp.output = std::move(out);
    return CKR_OK;
}

CK_RV seedRandom(CToken& token, const Request& req, Response&)
{
    CK_SESSION_HANDLE s;
    if (CK_RV rv = token.session(req, s); rv != CKR_OK) {
        return rv;
    }
    return token.p11().C_SeedRandom(s, input(req.data), inputLength(req.data));
}

}  // namespace

void addSessionCalls(CallTable& t)
{
    t[fn::InitToken] = initToken;
    t[fn::OpenSession] = openSession;
    t[fn::CloseSession] = closeSession;
    t[fn::CloseAllSessions] = closeAllSessions;
    t[fn::Login] = login;
    t[fn::Logout] = logout;
    t[fn::InitPIN] = initPin;
    t[fn::SetPIN] = setPin;
    t[fn::GetSessionInfo] = sessionInfo;
    t[fn::GetTokenInfo] = tokenInfo;
    t[fn::GenerateRandom] = generateRandom;
    t[fn::SeedRandom] = seedRandom;
}

}  // namespace vexa::sim::engine
