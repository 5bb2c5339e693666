// The token's event log, read in one exchange.
#include "Extensions.h"

namespace vexa::pkcs11::extensions {

bool readLogEntries(CContext& context, CK_SLOT_ID slotID, uint8_t* buffer, CK_ULONG* length)
{
    // Without a length there is neither a capacity nor a place for the answer.
    const auto checks = [&] {
        return length == nullptr || (buffer == nullptr && *length != 0) ? CKR_ARGUMENTS_BAD : CKR_OK;
    };
    const CK_RV rv = entryCall(context, "bReadLogEntries", checks, [&] {
        OutputBuffer output{buffer, capacity32(*length)};
        return exchangeOnSlot(
            context, slotID, fn::ReadLogEntries, [&](TokenCall& call) { expectOutput(call, output); },
            [&](TokenCall& call) {
                if (call.response.rv == CKR_OK) {
                    *length = output.received;
                } else if (call.response.has_outputLength) {
                    *length = call.response.outputLength;
                }
                return call.response.rv;
            });
    });
    return rv == CKR_OK;
}

}  // namespace vexa::pkcs11::extensions
