#include "Token.h"

#include <cctype>
#include <stdexcept>

#include "FileStore.h"

namespace vexa::sim::engine {
namespace {

// The serial names the token's directory.
bool usableSerial(const std::string& serial)
{
    if (serial.empty() || serial.size() > 64 || serial == "." || serial == "..") {
        return false;
    }
    for (char c : serial) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.') {
            return false;
        }
    }
    return true;
}

std::string preparedDirectory(const TokenIdentity& identity, const EngineOptions& options)
{
    if (!usableSerial(identity.serial)) {
        throw std::runtime_error("unusable token serial \"" + identity.serial + "\"");
    }
    std::string dir = options.stateDir + "/tokens/" + identity.serial;
    ensureDirectory(dir);
    return dir;
}

}  // namespace

CToken::CToken(const TokenIdentity& identity, const EngineOptions& options)
    : m_identity(identity),
      m_dir(preparedDirectory(identity, options)),
      m_hsm(CSoftHsm::acquire(options.softHsmLibrary, options.stateDir)),
      m_settings(loadSettings(m_dir + "/token.json")),
      m_clock(m_settings.clockOffset),
      m_events(m_dir + "/events.log"),
      m_data(m_dir + "/data.bin")
{
    bindHsmToken(options);
}

CToken::~CToken()
{
    for (CK_SESSION_HANDLE s : m_sessions) {
        p11().C_CloseSession(s);
    }
}

void CToken::bindHsmToken(const EngineOptions& options)
{
    if (auto slot = m_hsm->findToken(m_settings.hsmSerial)) {
        m_slot = *slot;
        return;
    }
    m_settings.hsmSerial = m_hsm->createToken({"Vexa " + m_identity.serial, options.soPin, options.userPin});
    auto slot = m_hsm->findToken(m_settings.hsmSerial);
    if (!slot) {
        throw std::runtime_error("SoftHSM2 token of " + m_identity.serial + " not found");
    }
    m_slot = *slot;
    removeFile(bitcoinKeyPath());
    if (!saveSettings()) {
        throw std::runtime_error("cannot write the state of token " + m_identity.serial);
    }
    record("token initialised");
}

CK_RV CToken::session(const Request& req, CK_SESSION_HANDLE& out) const
{
    if (!req.session || !m_sessions.count(*req.session)) {
        return CKR_SESSION_HANDLE_INVALID;
    }
    out = *req.session;
    return CKR_OK;
}

CK_RV CToken::addSession(CK_SESSION_HANDLE session)
{
    if (session > 0xFFFFFFFFu) {
        p11().C_CloseSession(session);
        return CKR_DEVICE_ERROR;
    }
    m_sessions.insert(session);
    return CKR_OK;
}

void CToken::dropSession(CK_SESSION_HANDLE session)
{
    m_sessions.erase(session);
    m_operations.erase(session);
    forgetObjectsOf([&](CK_SESSION_HANDLE owner) { return owner == session; });
}

void CToken::dropAllSessions()
{
    m_sessions.clear();
    m_operations.clear();
    forgetObjectsOf([](CK_SESSION_HANDLE owner) { return owner != 0; });
}

template <typename Owned>
void CToken::forgetObjectsOf(Owned owned)
{
    for (auto it = m_objects.begin(); it != m_objects.end();) {
        it = owned(it->second) ? m_objects.erase(it) : std::next(it);
    }
}

void CToken::adopt(CK_OBJECT_HANDLE object, CK_SESSION_HANDLE session)
{
    if (m_objects.count(object)) {
        return;  // found again: it stays its maker's
    }
    CK_BBOOL onToken = CK_TRUE;
    CK_ATTRIBUTE a{CKA_TOKEN, &onToken, sizeof onToken};
    const bool sessionObject = p11().C_GetAttributeValue(session, object, &a, 1) == CKR_OK && onToken == CK_FALSE;
    m_objects[object] = sessionObject ? session : 0;
}

void CToken::started(CK_SESSION_HANDLE session, StartedOperation operation)
{
    m_operations[session] = std::move(operation);
}

const StartedOperation* CToken::started(CK_SESSION_HANDLE session) const
{
    auto it = m_operations.find(session);
    return it == m_operations.end() ? nullptr : &it->second;
}

StartedOperation* CToken::started(CK_SESSION_HANDLE session)
{
    auto it = m_operations.find(session);
    return it == m_operations.end() ? nullptr : &it->second;
}

CK_RV CToken::object(const std::optional<uint32_t>& handle, CK_RV invalid, CK_OBJECT_HANDLE& out) const
{
    if (!handle || !m_objects.count(*handle)) {
        return invalid;
    }
    out = *handle;
    return CKR_OK;
}

void CToken::record(const std::string& event) { m_events.add(CTokenClock::stamp(m_clock.now()), event); }

void CToken::wiped()
{
    m_objects.clear();
    removeFile(bitcoinKeyPath());
}

bool CToken::saveSettings()
{
    m_settings.clockOffset = m_clock.offset();
    return engine::saveSettings(m_dir + "/token.json", m_settings);
}

}  // namespace vexa::sim::engine
