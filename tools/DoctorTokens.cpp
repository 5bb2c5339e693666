// The tokens as the library itself reaches them, through libvexa-pkcs11.so:
// the last word on whether the checks before it matter.
#include "Doctor.h"
#include "Library.h"
#include "PaddedText.h"
#include "ResultNames.h"

namespace vexa::tool::doctor {
namespace {

bool checkSlot(CFindings& findings, const CLibrary& library, CK_SLOT_ID slot)
{
    CK_TOKEN_INFO info{};
    const CK_RV rv = library.entry(&CK_FUNCTION_LIST::C_GetTokenInfo, "C_GetTokenInfo")(slot, &info);
    if (rv != CKR_OK) {
        findings.fail("slot " + std::to_string(slot),
                      "C_GetTokenInfo: " + describeResult(rv) +
                          (rv == CKR_FUNCTION_FAILED || rv == CKR_TOKEN_NOT_PRESENT
                               ? ": the library did not reach the token (its log says why, with \"logging\": "
                                 "{\"loglevel\": 10, \"logconsole\": true})"
                               : ""));
        return false;
    }
    findings.ok("token " + paddedText(info.serialNumber), "slot " + std::to_string(slot) + ", model " +
                                                              paddedText(info.model) + ", label \"" +
                                                              paddedText(info.label) + "\"");
    return true;
}

}  // namespace

size_t checkTokens(CFindings& findings)
{
    try {
        const CLibrary library;
        const std::vector<CK_SLOT_ID> slots = library.slots(false);
        if (slots.empty()) {
            findings.fail("tokens", "the library lists no slot");
            return 0;
        }
        size_t reached = 0;
        for (const CK_SLOT_ID slot : slots) {
            reached += checkSlot(findings, library, slot) ? 1 : 0;
        }
        return reached;
    } catch (const Failure& error) {
        findings.fail("tokens", error.what());
        return 0;
    }
}

}  // namespace vexa::tool::doctor
