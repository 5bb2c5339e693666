// The token's Bitcoin key service: one key, found through the PKCS#11 object
// search, and public keys and signatures along derivation paths.
#include <vector>

#include "Extensions.h"

namespace vexa::pkcs11::extensions {
namespace {

// No byte string longer than the whole message can travel; refusing it
// early also keeps lengths beyond 32 bits from being cut on the way.
bool fitsMessage(CK_ULONG length) { return length <= kExchangeBufferSize; }
bool pathFitsMessage(CK_ULONG count) { return count <= kExchangeBufferSize / 4; }

// A request along a derivation path: the path travels as its words, each
// in big-endian order, one after the other, from bytes that live as long
// as the request. A hash to sign goes with it.
class CPathRequest {
public:
    CPathRequest(FunctionId function, const uint32_t* path, CK_ULONG count) : m_function(function)
    {
        m_bytes.reserve(count * 4);
        for (CK_ULONG i = 0; i < count; ++i) {
            for (int shift = 24; shift >= 0; shift -= 8) {
                m_bytes.push_back(static_cast<uint8_t>(path[i] >> shift));
            }
        }
        m_path = ByteSpan{m_bytes.data(), static_cast<uint32_t>(m_bytes.size())};
    }
    CPathRequest(const CPathRequest&) = delete;
    CPathRequest& operator=(const CPathRequest&) = delete;

    FunctionId function() const { return m_function; }
    void setHash(const uint8_t* hash, CK_ULONG length) { m_hash = ByteSpan{hash, static_cast<uint32_t>(length)}; }
    void fill(RpcRequest& request)
    {
        setBytes(request.data, m_path);
        if (m_hash.data != nullptr) {
            setBytes(request.data2, m_hash);
        }
    }

private:
    FunctionId m_function;
    std::vector<uint8_t> m_bytes;
    ByteSpan m_path{};
    ByteSpan m_hash{nullptr, 0};
};

// The key the token makes on import carries all six attributes, so the
// search finds that key and no other private key. The token is held across
// the search's three requests.
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
    return holdingSessionToken(context, session, [&] {
        const CK_RV started = context.C_FindObjectsInit(session, search, sizeof search / sizeof search[0]);
        if (started != CKR_OK) {
            return started;
        }
        const CK_RV rv = context.C_FindObjects(session, &found, 1, &count);
        (void)context.C_FindObjectsFinal(session);
        return rv;
    });
}

// The caller's length changes only on success.
CK_RV callSessionWithOutput(CContext& context, CK_SESSION_HANDLE session, CPathRequest& path, uint8_t* output,
                            CK_ULONG* length)
{
    OutputBuffer reader{output, capacity32(*length)};
    const auto fill = [&](TokenCall& call) {
        path.fill(call.request);
        expectOutput(call, reader);
    };
    return exchangeOnSession(context, session, path.function(), fill, [&](TokenCall& call) {
        if (call.response.rv == CKR_OK) {
            *length = reader.received;
        }
        return call.response.rv;
    });
}

}  // namespace

uint32_t hasBitcoinKey(CContext& context, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE* key)
{
    return static_cast<uint32_t>(entryCall(context, "u32HasBitcoinKey", kNoChecks, [&] {
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
    }));
}

uint32_t importBitcoinKey(CContext& context, CK_SESSION_HANDLE session, const uint8_t* key, CK_ULONG length)
{
    const auto checks = [&] {
        if (key == nullptr || length == 0) {
            return CKR_ARGUMENTS_BAD;
        }
        return fitsMessage(length) ? CKR_OK : CKR_DATA_LEN_RANGE;
    };
    return static_cast<uint32_t>(entryCall(context, "u32ImportBitcoinKey", checks, [&] {
        const CK_RV existing = hasBitcoinKey(context, session, nullptr);
        if (existing == CKR_OK) {
            return CKR_VEXA_BITCOIN_KEY_EXISTS;
        }
        if (existing != CKR_VEXA_NO_BITCOIN_KEY) {
            return existing;
        }
        ByteSpan keyBytes{key, static_cast<uint32_t>(length)};
        return exchangeOnSession(context, session, fn::ImportBitcoinKey,
                                 [&](TokenCall& call) { setBytes(call.request.data, keyBytes); });
    }));
}

uint32_t getBitcoinPub(CContext& context, CK_SESSION_HANDLE session, const uint32_t* path, CK_ULONG count,
                       uint8_t* output, CK_ULONG* length)
{
    const auto checks = [&] {
        if (path == nullptr || output == nullptr || length == nullptr || *length == 0) {
            return CKR_ARGUMENTS_BAD;
        }
        return pathFitsMessage(count) ? CKR_OK : CKR_DATA_LEN_RANGE;
    };
    return static_cast<uint32_t>(entryCall(context, "u32GetBitcoinPub", checks, [&] {
        CPathRequest call(fn::GetBitcoinPub, path, count);
        return callSessionWithOutput(context, session, call, output, length);
    }));
}

uint32_t signBitcoinHash(CContext& context, CK_SESSION_HANDLE session, const uint8_t* hash, CK_ULONG hashLength,
                         const uint32_t* path, CK_ULONG count, uint8_t* signature, CK_ULONG* length)
{
    const auto checks = [&] {
        if (path == nullptr || hash == nullptr || signature == nullptr || length == nullptr || *length == 0 ||
            hashLength == 0) {
            return CKR_ARGUMENTS_BAD;
        }
        return fitsMessage(hashLength) && pathFitsMessage(count) ? CKR_OK : CKR_DATA_LEN_RANGE;
    };
    return static_cast<uint32_t>(entryCall(context, "u32SignBitcoinHash", checks, [&] {
        CPathRequest call(fn::SignBitcoinHash, path, count);
        call.setHash(hash, hashLength);
        return callSessionWithOutput(context, session, call, signature, length);
    }));
}

}  // namespace vexa::pkcs11::extensions
