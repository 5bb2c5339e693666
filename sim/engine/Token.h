#pragma once
// Everything one simulated token holds: its SoftHSM2 slot, the sessions and
// object handles it has handed out, and the vendor state kept in its own
// directory. Not thread-safe: the engine serialises the calls.
#include <p11-kit/pkcs11.h>

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "DataStore.h"
#include "EngineOptions.h"
#include "Firmware.h"
#include "MechanismRules.h"
#include "PreHash.h"
#include "SoftHsm.h"
#include "TokenClock.h"
#include "TokenEventLog.h"
#include "TokenSettings.h"
#include "Wire.h"

namespace vexa::sim::engine {

// The operation a session started last and what its calls may carry.
// SoftHSM2 runs one operation per session at a time.
struct StartedOperation {
    std::optional<KeyUse> use;  // none for a digest
    OperationLimits limits;
    // The token's own hash of a hashing signature SoftHSM2 lacks; dropped
    // when the operation ends.
    std::shared_ptr<CPreHash> preHash{};
    // An authenticated decryption (AES-GCM): SoftHSM2 reports a tag that
    // does not match as CKR_GENERAL_ERROR, a token as CKR_ENCRYPTED_DATA_INVALID.
    bool tagged = false;
};

class CToken {
public:
    // Binds to the token's SoftHSM2 token, initialising one on first start.
    // Throws std::runtime_error when that fails or the serial is unusable.
    CToken(const TokenIdentity& identity, const EngineOptions& options);
    ~CToken();
    CToken(const CToken&) = delete;
    CToken& operator=(const CToken&) = delete;

    CK_FUNCTION_LIST& p11() const { return *m_hsm->api(); }
    CK_SLOT_ID slot() const { return m_slot; }
    const TokenIdentity& identity() const { return m_identity; }

    // SoftHSM2 numbers sessions and objects across all of its tokens; a token
    // accepts only the numbers it has handed out itself.
    CK_RV session(const Request& req, CK_SESSION_HANDLE& out) const;
    CK_RV addSession(CK_SESSION_HANDLE session);
    void dropSession(CK_SESSION_HANDLE session);
    void dropAllSessions();
    size_t sessionCount() const { return m_sessions.size(); }

    // Kept until the session starts another operation or ends: whether
    // SoftHSM2 ended it meanwhile is not always known, and a check against
    // an operation that has ended only changes which error the call gets.
    void started(CK_SESSION_HANDLE session, StartedOperation operation);
    const StartedOperation* started(CK_SESSION_HANDLE session) const;
    StartedOperation* started(CK_SESSION_HANDLE session);

    // The object named by `handle`, or `invalid` when the token never handed
    // it out.
    CK_RV object(const std::optional<uint32_t>& handle, CK_RV invalid, CK_OBJECT_HANDLE& out) const;
    // An object handed out through `session`. A session object goes with
    // the session that made it, and so does its handle.
    void adopt(CK_OBJECT_HANDLE object, CK_SESSION_HANDLE session);
    void forget(CK_OBJECT_HANDLE object) { m_objects.erase(object); }

    // Writes a time-stamped line to the event log.
    void record(const std::string& event);
    // After C_InitToken: every object is gone, the Bitcoin key with them.
    void wiped();

    CEventLog& events() { return m_events; }
    CDataStore& data() { return m_data; }
    CTokenClock& clock() { return m_clock; }
    TokenConfigValues& config() { return m_settings.config; }
    // Persists the configuration values and the clock.
    bool saveSettings();
    std::string bitcoinKeyPath() const { return m_dir + "/bitcoin.key"; }

private:
    void bindHsmToken(const EngineOptions& options);
    template <typename Owned>
    void forgetObjectsOf(Owned owned);

    TokenIdentity m_identity;
    std::string m_dir;
    std::shared_ptr<CSoftHsm> m_hsm;
    CK_SLOT_ID m_slot = 0;
    TokenSettings m_settings;
    CTokenClock m_clock;
    CEventLog m_events;
    CDataStore m_data;
    std::set<CK_SESSION_HANDLE> m_sessions;
    std::map<CK_SESSION_HANDLE, StartedOperation> m_operations;
    // Every handle handed out, with the session whose object it is (0 for
    // token objects).
    std::map<CK_OBJECT_HANDLE, CK_SESSION_HANDLE> m_objects;
};

}  // namespace vexa::sim::engine
