#include <mutex>

#include "Extensions.h"
#include "FieldCallbacks.h"

namespace vexa::pkcs11::extensions {

OutputReply callWithOutput(CContext& context, RpcRequest& request, uint8_t* buffer, CK_ULONG capacity)
{
    request.has_outputLength = true;
    request.outputLength = capacity32(capacity);
    OutputBuffer output;
    output.buffer = buffer;
    output.capacity = request.outputLength;
    RpcResponse response = RpcResponse_init_zero;
    setOutput(response.output, output);
    context.callToken(request, response, false);
    return OutputReply{response.rv, output.received, response.has_outputLength, response.outputLength};
}

CK_RV bindSessionLocked(CContext& context, CK_SESSION_HANDLE session, RpcRequest& request)
{
    std::lock_guard<std::mutex> lock(CContext::libraryMutex());
    return context.bindSession(session, request);
}

}  // namespace vexa::pkcs11::extensions
