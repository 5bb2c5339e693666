#include <limits>
#include <mutex>

#include "Extensions.h"

namespace vexa::pkcs11::extensions {

uint32_t capacity32(CK_ULONG length)
{
    constexpr CK_ULONG kMax = std::numeric_limits<uint32_t>::max();
    return static_cast<uint32_t>(length > kMax ? kMax : length);
}

CK_RV bindSessionLocked(CContext& context, CK_SESSION_HANDLE session, RpcRequest& request)
{
    std::lock_guard<std::mutex> lock(CContext::libraryMutex());
    return context.bindSession(session, request);
}

}  // namespace vexa::pkcs11::extensions
