// slots and info: what the library sees, through the standard calls.
#include <iomanip>
#include <optional>
#include <vector>

#include "Command.h"
#include "Library.h"
#include "PaddedText.h"

namespace vexa::tool {
namespace {

CK_TOKEN_INFO tokenInfo(const CLibrary& library, CK_SLOT_ID slot)
{
    CK_TOKEN_INFO info{};
    VEXA_P11(library, C_GetTokenInfo, slot, &info);
    return info;
}

void listSlots(const Invocation& call)
{
    CLibrary library;
    const std::vector<CK_SLOT_ID> slots = library.slots(false);
    if (slots.empty()) {
        call.out << "no tokens found\n";
        return;
    }
    for (CK_SLOT_ID slot : slots) {
        const std::optional<TokenSlot> token = library.token(slot);
        if (!token) {
            CK_SLOT_INFO info{};
            VEXA_P11(library, C_GetSlotInfo, slot, &info);
            call.out << std::left << std::setw(14) << "(no token)"
                     << "slot " << slot << "  " << paddedText(info.slotDescription) << "\n";
            continue;
        }
        call.out << std::left << std::setw(14) << token->serial << "slot " << std::setw(3) << slot << std::setw(8)
                 << token->model << "\"" << token->label << "\"\n";
    }
}

std::string version(const CK_VERSION& v) { return std::to_string(v.major) + "." + std::to_string(v.minor); }

std::string tokenFlags(CK_FLAGS flags)
{
    static const std::vector<std::pair<CK_FLAGS, const char*>> kNames = {
        {CKF_RNG, "random numbers"},
        {CKF_WRITE_PROTECTED, "write protected"},
        {CKF_LOGIN_REQUIRED, "login required"},
        {CKF_USER_PIN_INITIALIZED, "user PIN set"},
        {CKF_PROTECTED_AUTHENTICATION_PATH, "PIN pad"},
        {CKF_TOKEN_INITIALIZED, "initialised"},
        {CKF_USER_PIN_COUNT_LOW, "user PIN count low"},
        {CKF_USER_PIN_FINAL_TRY, "user PIN final try"},
        {CKF_USER_PIN_LOCKED, "user PIN locked"},
        {CKF_SO_PIN_COUNT_LOW, "SO PIN count low"},
        {CKF_SO_PIN_FINAL_TRY, "SO PIN final try"},
        {CKF_SO_PIN_LOCKED, "SO PIN locked"},
    };
    std::string text;
    for (const auto& [flag, name] : kNames) {
        if ((flags & flag) != 0) {
            text += (text.empty() ? "" : ", ") + std::string(name);
        }
    }
    return text;
}

CK_ULONG mechanismCount(const CLibrary& library, CK_SLOT_ID slot)
{
    CK_ULONG count = 0;
    VEXA_P11(library, C_GetMechanismList, slot, nullptr, &count);
    return count;
}

void showInfo(const Invocation& call)
{
    const CSlotArgument which = call.slot(0);
    CLibrary library;
    const CK_SLOT_ID slot = which.resolve(library, call.err);
    CK_SLOT_INFO slotInfo{};
    VEXA_P11(library, C_GetSlotInfo, slot, &slotInfo);
    std::ostream& out = call.out;
    out << "slot " << slot << ": " << paddedText(slotInfo.slotDescription) << "\n";
    if ((slotInfo.flags & CKF_TOKEN_PRESENT) == 0) {
        out << "  no token\n";
        return;
    }
    const CK_TOKEN_INFO token = tokenInfo(library, slot);
    out << "  label:        " << paddedText(token.label) << "\n"
        << "  manufacturer: " << paddedText(token.manufacturerID) << "\n"
        << "  model:        " << paddedText(token.model) << "\n"
        << "  serial:       " << paddedText(token.serialNumber) << "\n"
        << "  firmware:     " << version(token.firmwareVersion) << "\n"
        << "  hardware:     " << version(token.hardwareVersion) << "\n"
        << "  flags:        " << tokenFlags(token.flags) << "\n"
        << "  PIN length:   " << token.ulMinPinLen << " to " << token.ulMaxPinLen << "\n"
        << "  mechanisms:   " << mechanismCount(library, slot) << "\n";
}

}  // namespace

void addSlotCommands(std::vector<Command>& commands)
{
    commands.push_back({"slots",
                        "",
                        "list the tokens the library sees",
                        "Lists every token by its serial number, with its slot, model and label. A\n"
                        "serial number names a token wherever SLOT is asked for; slot numbers change\n"
                        "when a token before it is unplugged.\n",
                        {},
                        0,
                        0,
                        listSlots});
    commands.push_back({"info",
                        "SLOT",
                        "show a token's details",
                        "Shows the token of SLOT as PKCS#11 reports it: label, manufacturer, model,\n"
                        "serial number, versions, flags, PIN lengths and the number of mechanisms.\n",
                        {},
                        1,
                        1,
                        showInfo});
}

}  // namespace vexa::tool
