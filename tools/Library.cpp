#include "Library.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>

#include "PaddedText.h"

namespace vexa::tool {
namespace {

std::atomic<uint64_t> g_exchanges{0};

CK_RV createMutex(CK_VOID_PTR_PTR mutex)
{
    if (mutex == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    *mutex = new (std::nothrow) std::mutex;
    return *mutex != nullptr ? CKR_OK : CKR_HOST_MEMORY;
}

CK_RV destroyMutex(CK_VOID_PTR mutex)
{
    delete static_cast<std::mutex*>(mutex);
    return CKR_OK;
}

CK_RV lockMutex(CK_VOID_PTR mutex)
{
    if (mutex == nullptr) {
        return CKR_MUTEX_BAD;
    }
    static_cast<std::mutex*>(mutex)->lock();
    return CKR_OK;
}

CK_RV unlockMutex(CK_VOID_PTR mutex)
{
    if (mutex == nullptr) {
        return CKR_MUTEX_BAD;
    }
    g_exchanges.fetch_add(1, std::memory_order_relaxed);
    static_cast<std::mutex*>(mutex)->unlock();
    return CKR_OK;
}

}  // namespace

void check(const std::string& call, CK_RV rv)
{
    if (rv != CKR_OK) {
        throw TokenError(call, rv);
    }
}

uint64_t completedExchanges() { return g_exchanges.load(std::memory_order_relaxed); }

CLibrary::CLibrary()
{
    check("C_GetFunctionList", C_GetFunctionList(&m_functions));
    CK_C_INITIALIZE_ARGS args{};
    args.CreateMutex = createMutex;
    args.DestroyMutex = destroyMutex;
    args.LockMutex = lockMutex;
    args.UnlockMutex = unlockMutex;
    VEXA_P11(*this, C_Initialize, &args);
}

CLibrary::~CLibrary()
{
    if (m_functions != nullptr && m_functions->C_Finalize != nullptr) {
        m_functions->C_Finalize(nullptr);
    }
}

std::vector<CK_SLOT_ID> CLibrary::slots(bool tokenPresent) const
{
    const CK_BBOOL present = tokenPresent ? CK_TRUE : CK_FALSE;
    // Tokens may come and go between the two calls.
    for (;;) {
        CK_ULONG count = 0;
        VEXA_P11(*this, C_GetSlotList, present, nullptr, &count);
        std::vector<CK_SLOT_ID> slots(count);
        const CK_RV rv = entry(&CK_FUNCTION_LIST::C_GetSlotList, "C_GetSlotList")(present, slots.data(), &count);
        if (rv == CKR_BUFFER_TOO_SMALL) {
            continue;
        }
        check("C_GetSlotList", rv);
        slots.resize(std::min<size_t>(slots.size(), count));
        return slots;
    }
}

bool CLibrary::hasSlot(CK_SLOT_ID slot) const
{
    const std::vector<CK_SLOT_ID> known = slots(false);
    return std::find(known.begin(), known.end(), slot) != known.end();
}

void CLibrary::requireSlot(CK_SLOT_ID slot) const
{
    if (!hasSlot(slot)) {
        throw TokenError("slot " + std::to_string(slot), CKR_SLOT_ID_INVALID);
    }
}

std::optional<TokenSlot> CLibrary::token(CK_SLOT_ID slot) const
{
    CK_SLOT_INFO slotInfo{};
    CK_TOKEN_INFO info{};
    if (entry(&CK_FUNCTION_LIST::C_GetSlotInfo, "C_GetSlotInfo")(slot, &slotInfo) != CKR_OK ||
        (slotInfo.flags & CKF_TOKEN_PRESENT) == 0 ||
        entry(&CK_FUNCTION_LIST::C_GetTokenInfo, "C_GetTokenInfo")(slot, &info) != CKR_OK) {
        return std::nullopt;
    }
    return TokenSlot{slot, paddedText(info.serialNumber), paddedText(info.model), paddedText(info.label)};
}

std::vector<TokenSlot> CLibrary::tokens() const
{
    std::vector<TokenSlot> found;
    for (const CK_SLOT_ID slot : slots(false)) {
        if (auto token = this->token(slot)) {
            found.push_back(std::move(*token));
        }
    }
    return found;
}

CSession::CSession(const CLibrary& library, CK_SLOT_ID slot) : m_library(library)
{
    library.requireSlot(slot);
    VEXA_P11(library, C_OpenSession, slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &m_handle);
}

CSession::~CSession()
{
    try {
        m_library.entry(&CK_FUNCTION_LIST::C_CloseSession, "C_CloseSession")(m_handle);
    } catch (const Failure&) {
        // C_Finalize closes what is left.
    }
}

void CSession::login(const std::string& pin)
{
    std::string copy = pin;
    const CK_RV rv = m_library.entry(&CK_FUNCTION_LIST::C_Login, "C_Login")(
        m_handle, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(copy.data()), copy.size());
    std::fill(copy.begin(), copy.end(), '\0');
    if (rv != CKR_USER_ALREADY_LOGGED_IN) {
        check("C_Login", rv);
    }
}

}  // namespace vexa::tool
