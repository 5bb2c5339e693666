#pragma once
#include <p11-kit/pkcs11.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "CLogTarget.h"
#include "CTransport.h"
#include "ExchangeLock.h"
#include "LibrarySettings.h"
#include "TransportKinds.h"
#include "vexa.pb.h"

namespace vexa::pkcs11 {

using SlotId = int32_t;

// The current slot after an exchange: no slot has it, so a call that forgets
// to choose its slot fails instead of reaching the previous call's token.
constexpr SlotId kNoSlot = 0xFFFFFF;
// Size of the buffer that holds an encoded request and then its reply.
constexpr size_t kExchangeBufferSize = 2048;

struct SlotEntry {
    SerialId serial = 0;
    std::unique_ptr<corvel::CTransport> transport;
};

// All state of the library in one process: configuration, log, slots,
// sessions, the exchange lock and the call path to the tokens.
class CContext : public CLogTarget {
public:
    // The library lock: guards the creation of the instance, the slot and
    // session tables, and the body of every function that the entry table
    // marks as locked. Not recursive.
    static std::mutex& libraryMutex();
    // The process's one context, created (and configured) on first use.
    static CContext& instance();

    // Reads vexaconfig.json from the looked-up configuration directory.
    CContext();
    // Reads vexaconfig.json from configDir ("" or with a trailing "/").
    explicit CContext(const std::string& configDir);
    ~CContext() override;

    LibrarySettings& settings() { return m_settings; }
    void setTransportKind(TransportKind kind) { m_transportKind = std::move(kind); }
    const TransportKind& transportKind() const { return m_transportKind; }
    CExchangeLock& exchangeLock() { return m_exchangeLock; }
    bool isInitialized() const { return m_initialized; }

    // Slots. The current slot is per thread, so that a call on one thread
    // cannot redirect another thread's exchange.
    size_t slotCount() const { return m_slots.size(); }
    bool hasSlot(CK_SLOT_ID slotId) const;
    corvel::CTransport* slotTransport(CK_SLOT_ID slotId);
    void setCurrentSlot(CK_SLOT_ID slotId);
    static SlotId currentSlot();
    // CKR_SLOT_ID_INVALID when the slot does not exist; otherwise makes it current.
    CK_RV selectSlot(CK_SLOT_ID slotId);

    // Sessions (library lock held): handle to the slot it was opened on.
    void addSession(CK_SESSION_HANDLE handle, SlotId slot);
    bool removeSession(CK_SESSION_HANDLE handle);
    // CKR_SESSION_HANDLE_INVALID for an unknown handle; otherwise makes its
    // slot current and puts the token's session number into request.
    CK_RV bindSession(CK_SESSION_HANDLE handle, RpcRequest& request);
    size_t sessionCount() const { return m_sessions.size(); }

    // One exchange with the current slot's token. Every failure becomes the
    // response's rv and a log line; clearResponse false keeps callbacks and
    // presets that the caller installed in response.
    void callToken(RpcRequest& request, RpcResponse& response, bool clearResponse);
    // Writes length bytes of buffer to the current slot's transport and reads
    // the reply into buffer. Returns the reply's length, 0 when there is none.
    size_t exchange(uint8_t* buffer, size_t capacity, size_t length);

    // PKCS#11 and extension calls implemented here.
    CK_RV C_Initialize(CK_VOID_PTR pInitArgs);
    CK_RV C_Finalize(CK_VOID_PTR pReserved);
    CK_RV C_CloseAllSessions(CK_SLOT_ID slotID);
    bool bSetDateTime(CK_SLOT_ID slotID);

private:
    CK_RV chooseLocking(CK_VOID_PTR pInitArgs);
    std::map<SlotId, SlotEntry> buildSlots(size_t& tokenCount);
    void setTokenClocks(size_t tokenCount);
    void logExchangeFailure(const char* what);

    LibrarySettings m_settings;
    TransportKind m_transportKind;
    std::atomic<bool> m_initialized{false};
    CExchangeLock m_exchangeLock;
    std::map<SlotId, SlotEntry> m_slots;
    std::map<CK_SESSION_HANDLE, SlotId> m_sessions;
};

}  // namespace vexa::pkcs11
