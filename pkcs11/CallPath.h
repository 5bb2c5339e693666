#pragma once
#include <p11-kit/pkcs11.h>

#include <cstddef>
#include <cstdint>
#include <optional>

#include "CLogTarget.h"
#include "LibrarySettings.h"
#include "SessionTable.h"
#include "SlotTable.h"
#include "vexa.pb.h"

namespace vexa::pkcs11 {

// Size of the buffer that holds an encoded request and then its reply.
constexpr size_t kExchangeBufferSize = 2048;

// The session a request is made on, as the session table had it.
struct BoundSession {
    CK_SESSION_HANDLE handle = CK_INVALID_HANDLE;
    uint64_t generation = 0;  // of the device the session was opened on
};

// One request to a token and its reply, as a function fills and reads them.
struct TokenCall {
    RpcRequest request = RpcRequest_init_zero;
    RpcResponse response = RpcResponse_init_zero;
    SlotId slot = 0;                       // the bound session's slot
    std::optional<BoundSession> session;   // none for a request on a slot
    std::optional<uint32_t> replyTimeout;  // a longer wait for this one reply
    uint64_t generation = 0;               // after the exchange: the device generation that answered
};

// The road from a filled request to a decoded reply: encoding, the exchange
// with the slot's token under the slot's exchange lock, decoding. Every
// failure becomes the response's rv and a log line.
class CCallPath {
public:
    CCallPath(CSlotTable& slots, CSessionTable& sessions, CLogTarget& log, const LibrarySettings& settings);

    // One exchange with the token of slot. clearResponse false keeps the
    // callbacks and presets that the caller installed in response;
    // replyTimeout, when given, is how long the transport waits for this one
    // reply.
    void callToken(CK_SLOT_ID slot, RpcRequest& request, RpcResponse& response, bool clearResponse,
                   std::optional<uint32_t> replyTimeout = std::nullopt);

private:
    friend class CHeldSlot;

    CSlotTable& m_slots;
    CSessionTable& m_sessions;
    CLogTarget& m_log;
    const LibrarySettings& m_settings;
};

// The exchange lock of one slot's token, taken at the first exchange made
// through this object and held until it goes: its exchanges run back to
// back, with no other exchange of this process (nor, with a lock file, of
// another) with that token between them. A hold made on a slot that the same
// thread holds already joins the outer hold, so a call that makes its
// requests through other calls takes the lock once.
//
// A session's request never reaches a device other than the one the session
// was opened on: when the transport finds its token replaced (unplugged and
// plugged in again), the slot's older sessions are forgotten and such a
// request ends with CKR_SESSION_HANDLE_INVALID, unsent. So does a session
// that the token itself calls invalid or closed.
// Whether the last reply that a request of an operation family got on this
// thread, since forgetLastAnswer, ended the token's operation: an error
// (except CKR_BUFFER_TOO_SMALL), or the success of a single-part or final
// call that was no length query. Tells an operation's end that the token
// made from one reported here only.
void forgetLastAnswer();
bool tokenEndedOperation();

class CHeldSlot {
public:
    CHeldSlot(CCallPath& path, CK_SLOT_ID slot);
    ~CHeldSlot();
    CHeldSlot(const CHeldSlot&) = delete;
    CHeldSlot& operator=(const CHeldSlot&) = delete;

    // The slot is in the table.
    bool exists() const { return m_slot != nullptr; }
    // The outcome is call.response.rv; the response is not cleared first.
    void exchange(TokenCall& call);
    void exchange(RpcRequest& request, RpcResponse& response, bool clearResponse,
                  std::optional<uint32_t> replyTimeout = std::nullopt);
    // The slot's transport, opened if it was not, for the holder to look at;
    // null (and logged) when the slot is not there, its lock cannot be had or
    // its token cannot be reached.
    corvel::CTransport* reach();
    // The slot's transport as it is, for the holder to close; null when the
    // slot is not there or its lock cannot be had.
    corvel::CTransport* lockedTransport();

private:
    enum class LockState { Untried, Held, Failed };

    // The slot of an enclosing hold on the same slot id, else the table's.
    static SlotPtr slotFor(CCallPath& path, CK_SLOT_ID slot, const CHeldSlot* outer);

    bool holdLock();
    // True when a reply was decoded.
    bool run(RpcRequest& request, RpcResponse& response, bool clearResponse, std::optional<uint32_t> replyTimeout,
             const std::optional<BoundSession>& session, uint64_t* generation);
    bool exchangeEncoded(RpcRequest& request, RpcResponse& response, std::optional<uint32_t> replyTimeout,
                         const std::optional<BoundSession>& session, uint64_t* generation, bool& sent);
    // Ends the family's operation on the session before a request of the
    // family goes out, when an end is pending; false when that end got no
    // reply (it stays pending).
    bool settleOperation(const RpcRequest& request, const BoundSession& session, Family family);
    size_t transfer_inlock(uint8_t* buffer, size_t length, const std::optional<BoundSession>& session, bool& stale,
                           bool& sent);
    void openTransport_inlock(corvel::CTransport& transport);
    bool isStale_inlock(const std::optional<BoundSession>& session) const;
    void logExchangeFailure(const char* what);

    CCallPath& m_path;
    const CK_SLOT_ID m_slotId;
    const SlotPtr m_slot;
    CHeldSlot* const m_outer;       // the thread's enclosing hold, if any
    CHeldSlot* m_joined = nullptr;  // the enclosing hold of the same slot, if any
    LockState m_lock = LockState::Untried;
};

}  // namespace vexa::pkcs11
