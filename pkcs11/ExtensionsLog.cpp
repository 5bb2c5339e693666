// The token's event log, read in one exchange.
#include "Extensions.h"
#include "FieldCallbacks.h"
#include "FunctionIds.h"

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
    request.has_outputLength = true;
    request.outputLength = capacity32(*length);
    OutputBuffer output;
    output.buffer = buffer;
    output.capacity = request.outputLength;
    RpcResponse response = RpcResponse_init_zero;
    setOutput(response.output, output);
    context.setCurrentSlot(slotID);
    context.callToken(request, response, false);
    if (response.rv == CKR_OK) {
        *length = output.received;
        return true;
    }
    if (response.has_outputLength) {
        *length = response.outputLength;
    }
    return false;
}

}  // namespace vexa::pkcs11::extensions
