#pragma once
// libvexa-pkcs11.so as the tool uses it: initialised for the life of one
// command, with the calls' results turned into exceptions.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Errors.h"
#include "vexa.h"

namespace vexa::tool {

// Throws TokenError unless rv is CKR_OK.
void check(const std::string& call, CK_RV rv);

// A slot with a token, as the token describes itself.
struct TokenSlot {
    CK_SLOT_ID slot = 0;
    std::string serial;
    std::string model;
    std::string label;
};

class CLibrary {
public:
    // C_Initialize, with lock functions of the tool's own (see
    // completedExchanges). Throws TokenError.
    CLibrary();
    ~CLibrary();
    CLibrary(const CLibrary&) = delete;
    CLibrary& operator=(const CLibrary&) = delete;

    // An entry of the function list; Failure when the module lacks it.
    template <typename Entry>
    Entry entry(Entry CK_FUNCTION_LIST::*member, const char* name) const
    {
        Entry function = m_functions->*member;
        if (function == nullptr) {
            throw Failure(std::string("the module does not provide ") + name);
        }
        return function;
    }

    // The slots of C_GetSlotList (with a token present, or all).
    std::vector<CK_SLOT_ID> slots(bool tokenPresent) const;
    bool hasSlot(CK_SLOT_ID slot) const;
    // TokenError CKR_SLOT_ID_INVALID for a slot that the library does not know.
    void requireSlot(CK_SLOT_ID slot) const;
    // The token in the slot, or nothing when the slot holds none (or its token
    // does not answer).
    std::optional<TokenSlot> token(CK_SLOT_ID slot) const;
    // Every slot's token, in slot order.
    std::vector<TokenSlot> tokens() const;

private:
    CK_FUNCTION_LIST* m_functions = nullptr;
};

// Calls the named entry of the function list and checks its result.
#define VEXA_P11(library, name, ...) \
    ::vexa::tool::check(#name, (library).entry(&CK_FUNCTION_LIST::name, #name)(__VA_ARGS__))

// The library takes its exchange lock through the lock functions given to
// C_Initialize around every message to a token and back; this counts the
// exchanges completed so far in this process. A chunked transfer moves one
// chunk per exchange.
uint64_t completedExchanges();

// A read-write session on one slot, closed when the object goes away.
class CSession {
public:
    CSession(const CLibrary& library, CK_SLOT_ID slot);
    ~CSession();
    CSession(const CSession&) = delete;
    CSession& operator=(const CSession&) = delete;

    // C_Login as the user; a session that is logged in already is fine.
    void login(const std::string& pin);
    CK_SESSION_HANDLE handle() const { return m_handle; }

private:
    const CLibrary& m_library;
    CK_SESSION_HANDLE m_handle = CK_INVALID_HANDLE;
};

}  // namespace vexa::tool
