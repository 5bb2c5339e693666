// The token's Bitcoin key service: one key, found through the PKCS#11 object
// search, and public keys and signatures along derivation paths.
#include <vector>

#include "Extensions.h"
#include "FieldCallbacks.h"
#include "RpcFunctionIds.h"

namespace vexa::pkcs11::extensions {
namespace {

// No byte string longer than the whole message can travel; refusing it
// early also keeps lengths beyond 32 bits from being cut on the way.
bool fitsMessage(CK_ULONG length) { return length <= kExchangeBufferSize; }
bool pathFitsMessage(CK_ULONG count) { return count <= kExchangeBufferSize / 4; }

// A request along a derivation path: the path travels as its words, each
// in big-endian order, one after the other, from bytes that live as long
// as the request.
class PathRequest {
public:
    PathRequest(FunctionId function, const uint32_t* path, CK_ULONG count)
    {
        m_bytes.reserve(count * 4);
        for (CK_ULONG i = 0; i < count; ++i) {
            for (int shift = 24; shift >= 0; shift -= 8) {
                m_bytes.push_back(static_cast<uint8_t>(path[i] >> shift));
            }
        }
        m_span = ByteSpan{m_bytes.data(), static_cast<uint32_t>(m_bytes.size())};
        request.function = function;
        setBytes(request.data, m_span);
    }
    PathRequest(const PathRequest&) = delete;
    PathRequest& operator=(const PathRequest&) = delete;

    RpcRequest request = RpcRequest_init_zero;

private:
    std::vector<uint8_t> m_bytes;
    ByteSpan m_span{};
};

// The key the token makes on import carries all six attributes, so the
// search finds that key and no other private key.
CK_RV findBitcoinKey(CContext& context, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE& found, CK_ULONG& count)
{
    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
    CK_BYTE name[] = {'b', 't', 'c'};
    CK_BBOOL yes = CK_TRUE;
    CK_KEY_TYPE keyType = CKK_EC;
    CK_ATTRIBUTE search[] = {
        {CKA_CLASS, &keyClass, sizeof keyClass},
        {CKA_LABEL, name, sizeof name},
        {CKA_ID, name, sizeof name},
        {CKA_TOKEN, &yes, sizeof yes},
        {CKA_PRIVATE, &yes, sizeof yes},
        {CKA_KEY_TYPE, &keyType, sizeof keyType},
    };
    const CK_RV started = context.C_FindObjectsInit(session, search, sizeof search / sizeof search[0]);
    if (started != CKR_OK) {
        return started;
    }
    const CK_RV rv = context.C_FindObjects(session, &found, 1, &count);
    (void)context.C_FindObjectsFinal(session);
    return rv;
}

// The caller's length changes only on success.
uint32_t callSessionWithOutput(CContext& context, CK_SESSION_HANDLE session, RpcRequest& request, uint8_t* output,
                               CK_ULONG* length)
{
    const CK_RV bound = bindSessionLocked(context, session, request);
    if (bound != CKR_OK) {
        return bound;
    }
    const OutputReply reply = callWithOutput(context, request, output, *length);
    if (reply.rv == CKR_OK) {
        *length = reply.received;
    }
    return reply.rv;
}

}  // namespace

uint32_t hasBitcoinKey(CContext& context, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE* key)
{
    context.logText(corvel::kLogTrace, "u32HasBitcoinKey");
    if (!context.isInitialized()) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    CK_OBJECT_HANDLE found = CK_INVALID_HANDLE;
    CK_ULONG count = 0;
    const CK_RV rv = findBitcoinKey(context, session, found, count);
    if (rv != CKR_OK) {
        return rv;
    }
    if (count == 0) {
        return CKR_VEXA_NO_BITCOIN_KEY;
    }
    if (key != nullptr) {
        *key = found;
    }
    return CKR_OK;
}

uint32_t importBitcoinKey(CContext& context, CK_SESSION_HANDLE session, const uint8_t* key, CK_ULONG length)
{
    context.logText(corvel::kLogTrace, "u32ImportBitcoinKey");
    if (!context.isInitialized()) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (key == nullptr || length == 0) {
        return CKR_ARGUMENTS_BAD;
    }
    if (!fitsMessage(length)) {
        return CKR_DATA_LEN_RANGE;
    }
    const uint32_t existing = hasBitcoinKey(context, session, nullptr);
    if (existing == CKR_OK) {
        return CKR_VEXA_BITCOIN_KEY_EXISTS;
    }
    if (existing != CKR_VEXA_NO_BITCOIN_KEY) {
        return existing;
    }
    RpcRequest request = RpcRequest_init_zero;
    request.function = kFnImportBitcoinKey;
    const CK_RV bound = bindSessionLocked(context, session, request);
    if (bound != CKR_OK) {
        return bound;
    }
    ByteSpan keyBytes{key, static_cast<uint32_t>(length)};
    setBytes(request.data, keyBytes);
    RpcResponse response = RpcResponse_init_zero;
    context.callToken(request, response, true);
    return response.rv;
}

uint32_t getBitcoinPub(CContext& context, CK_SESSION_HANDLE session, const uint32_t* path, CK_ULONG count,
                       uint8_t* output, CK_ULONG* length)
{
    context.logText(corvel::kLogTrace, "u32GetBitcoinPub");
    if (!context.isInitialized()) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (path == nullptr || output == nullptr || length == nullptr || *length == 0) {
        return CKR_ARGUMENTS_BAD;
    }
    if (!pathFitsMessage(count)) {
        return CKR_DATA_LEN_RANGE;
    }
    PathRequest call(kFnGetBitcoinPub, path, count);
    return callSessionWithOutput(context, session, call.request, output, length);
}

uint32_t signBitcoinHash(CContext& context, CK_SESSION_HANDLE session, const uint8_t* hash, CK_ULONG hashLength,
                         const uint32_t* path, CK_ULONG count, uint8_t* signature, CK_ULONG* length)
{
    context.logText(corvel::kLogTrace, "u32SignBitcoinHash");
    if (!context.isInitialized()) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (path == nullptr || hash == nullptr || signature == nullptr || length == nullptr || *length == 0 ||
        hashLength == 0) {
        return CKR_ARGUMENTS_BAD;
    }
    if (!fitsMessage(hashLength) || !pathFitsMessage(count)) {
        return CKR_DATA_LEN_RANGE;
    }
    PathRequest call(kFnSignBitcoinHash, path, count);
    ByteSpan hashSpan{hash, static_cast<uint32_t>(hashLength)};
    setBytes(call.request.data2, hashSpan);
    return callSessionWithOutput(context, session, call.request, signature, length);
}

}  // namespace vexa::pkcs11::extensions
