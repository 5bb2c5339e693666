// The token's event log, read in one exchange.
#include "Extensions.h"
#include "RpcFunctionIds.h"

namespace vexa::pkcs11::extensions {

bool readLogEntries(CContext& context, CK_SLOT_ID slotID, uint8_t* buffer, CK_ULONG* length)
{
    context.logText(corvel::kLogTrace, "bReadLogEntries");
    // Without a length there is neither a capacity nor a place for the answer.
    if (length == nullptr || (buffer == nullptr && *length != 0) || !context.isInitialized()) {
        return false;
    }
    RpcRequest request = RpcRequest_init_zero;
    request.function = kFnReadLogEntries;
    context.setCurrentSlot(slotID);
    const OutputReply reply = callWithOutput(context, request, buffer, *length);
    if (reply.rv == CKR_OK) {
        *length = reply.received;
        return true;
    }
    if (reply.hasNeeded) {
        *length = reply.needed;
    }
    return false;
}

}  // namespace vexa::pkcs11::extensions
