#include "Token.h"

#include <cctype>
#include <stdexcept>

#include "FileStore.h"

namespace vexa::sim::engine {
namespace {

// The serial names the token's directory.
bool usableSerial(const std::string& serial) {
    if (serial.empty() || serial.size() > 64 || serial == "." || serial == "..")
        return false;
    for (char c : serial)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.')
            return false;
    return true;
}

std::string preparedDirectory(const TokenIdentity& identity, const EngineOptions& options) {
    if (!usableSerial(identity.serial))
        throw std::runtime_error("unusable token serial \"" + identity.serial + "\"");
    std::string dir = options.stateDir + "/tokens/" + identity.serial;
    ensureDirectory(dir);
    return dir;
}

}  // namespace

Token::Token(const TokenIdentity& identity, const EngineOptions& options)
    : identity_(identity),
      dir_(preparedDirectory(identity, options)),
      hsm_(SoftHsm::acquire(options.softHsmLibrary, options.stateDir)),
      settings_(loadSettings(dir_ + "/token.json")),
      clock_(settings_.clockOffset),
      events_(dir_ + "/events.log"),
      data_(dir_ + "/data.bin") {
    bindHsmToken(options);
}

Token::~Token() {
    for (CK_SESSION_HANDLE s : sessions_)
        p11().C_CloseSession(s);
}

void Token::bindHsmToken(const EngineOptions& options) {
    if (auto slot = hsm_->findToken(settings_.hsmSerial)) {
        slot_ = *slot;
        return;
    }
    settings_.hsmSerial = hsm_->createToken({"Vexa " + identity_.serial, options.soPin, options.userPin});
    auto slot = hsm_->findToken(settings_.hsmSerial);
    if (!slot)
        throw std::runtime_error("SoftHSM2 token of " + identity_.serial + " not found");
    slot_ = *slot;
    removeFile(bitcoinKeyPath());
    if (!saveSettings())
        throw std::runtime_error("cannot write the state of token " + identity_.serial);
    record("token initialised");
}

CK_RV Token::session(const Request& req, CK_SESSION_HANDLE& out) const {
    if (!req.session || !sessions_.count(*req.session))
        return CKR_SESSION_HANDLE_INVALID;
    out = *req.session;
    return CKR_OK;
}

CK_RV Token::addSession(CK_SESSION_HANDLE session) {
    if (session > 0xFFFFFFFFu) {
        p11().C_CloseSession(session);
        return CKR_DEVICE_ERROR;
    }
    sessions_.insert(session);
    return CKR_OK;
}

CK_RV Token::object(const std::optional<uint32_t>& handle, CK_RV invalid, CK_OBJECT_HANDLE& out) const {
    if (!handle || !objects_.count(*handle))
        return invalid;
    out = *handle;
    return CKR_OK;
}

void Token::record(const std::string& event) {
    events_.add(TokenClock::stamp(clock_.now()), event);
}

void Token::wiped() {
    objects_.clear();
    removeFile(bitcoinKeyPath());
}

bool Token::saveSettings() {
    settings_.clockOffset = clock_.offset();
    return engine::saveSettings(dir_ + "/token.json", settings_);
}

}  // namespace vexa::sim::engine
