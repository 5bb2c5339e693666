// The Bitcoin key service. The master key lives twice: as a private EC key
// object (secp256k1, label and id "btc") that the host can find and that
// goes with the token's objects, and with its chain code in the token's own
// directory, out of the host's reach, for deriving child keys.
#include <mbedtls/platform_util.h>

#include <cstring>

#include "Bip32.h"
#include "Calls.h"
#include "FileStore.h"
#include "wire/Functions.h"

namespace vexa::sim::engine {
namespace {

constexpr CK_RV kNoBitcoinKey = CKR_VENDOR_DEFINED + 1;
constexpr CK_RV kBitcoinKeyExists = CKR_VENDOR_DEFINED + 2;
constexpr CK_BYTE kSecp256k1Oid[] = {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x0A};
constexpr CK_BYTE kLabel[] = {'b', 't', 'c'};

struct Wiped {
    Bytes b;
    ~Wiped() { mbedtls_platform_zeroize(b.data(), b.size()); }
};

// A session of the token's own, so that the caller's session keeps whatever
// search it has running. Login state is per token, so it sees what the
// caller's session sees.
class COwnSession {
public:
    explicit COwnSession(CToken& token) : m_token(token)
    {
        m_rv = token.p11().C_OpenSession(token.slot(), CKF_SERIAL_SESSION, nullptr, nullptr, &m_s);
    }
    ~COwnSession()
    {
        if (m_rv == CKR_OK) {
            m_token.p11().C_CloseSession(m_s);
        }
    }
    CK_RV rv() const { return m_rv; }
    CK_SESSION_HANDLE get() const { return m_s; }

private:
    CToken& m_token;
    CK_SESSION_HANDLE m_s = 0;
    CK_RV m_rv;
};

CK_RV findKeyObject(CToken& token, std::optional<CK_OBJECT_HANDLE>& found)
{
    COwnSession own(token);
    if (own.rv() != CKR_OK) {
        return own.rv();
    }
    CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    CK_KEY_TYPE type = CKK_EC;
    CK_ATTRIBUTE search[] = {
        {CKA_CLASS, &cls, sizeof cls},
        {CKA_KEY_TYPE, &type, sizeof type},
        {CKA_LABEL, const_cast<CK_BYTE*>(kLabel), sizeof kLabel},
        {CKA_ID, const_cast<CK_BYTE*>(kLabel), sizeof kLabel},
    };
    CK_RV rv = token.p11().C_FindObjectsInit(own.get(), search, std::size(search));
    if (rv != CKR_OK) {
        return rv;
    }
    CK_OBJECT_HANDLE object = 0;
    CK_ULONG count = 0;
    rv = token.p11().C_FindObjects(own.get(), &object, 1, &count);
    token.p11().C_FindObjectsFinal(own.get());
    found = count ? std::optional<CK_OBJECT_HANDLE>(object) : std::nullopt;
    return rv;
}

CK_RV createKeyObject(CToken& token, CK_SESSION_HANDLE s, const bip32::Key& key, CK_OBJECT_HANDLE& out)
{
    CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    CK_KEY_TYPE type = CKK_EC;
    CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
    CK_ATTRIBUTE tmpl[] = {
        {CKA_CLASS, &cls, sizeof cls},
        {CKA_KEY_TYPE, &type, sizeof type},
        {CKA_TOKEN, &yes, sizeof yes},
        {CKA_PRIVATE, &yes, sizeof yes},
        {CKA_SENSITIVE, &yes, sizeof yes},
        {CKA_EXTRACTABLE, &no, sizeof no},
        {CKA_SIGN, &yes, sizeof yes},
        {CKA_LABEL, const_cast<CK_BYTE*>(kLabel), sizeof kLabel},
        {CKA_ID, const_cast<CK_BYTE*>(kLabel), sizeof kLabel},
        {CKA_EC_PARAMS, const_cast<CK_BYTE*>(kSecp256k1Oid), sizeof kSecp256k1Oid},
        {CKA_VALUE, const_cast<uint8_t*>(key.data()), key.size()},
    };
    return token.p11().C_CreateObject(s, tmpl, std::size(tmpl), &out);
}

bool userLoggedIn(CToken& token, CK_SESSION_HANDLE s)
{
    CK_SESSION_INFO info{};
    return token.p11().C_GetSessionInfo(s, &info) == CKR_OK &&
           (info.state == CKS_RO_USER_FUNCTIONS || info.state == CKS_RW_USER_FUNCTIONS);
}

// The master key for a logged-in user whose token holds the key object.
CK_RV masterKey(CToken& token, CK_SESSION_HANDLE s, bip32::ExtendedKey& out)
{
    if (!userLoggedIn(token, s)) {
        return CKR_USER_NOT_LOGGED_IN;
    }
    std::optional<CK_OBJECT_HANDLE> object;
    if (CK_RV rv = findKeyObject(token, object); rv != CKR_OK) {
        return rv;
    }
    Wiped stored;
    if (auto content = readFile(token.bitcoinKeyPath())) {
        stored.b = std::move(*content);
    }
    if (!object || stored.b.size() != out.key.size() + out.chainCode.size()) {
        return kNoBitcoinKey;
    }
    std::memcpy(out.key.data(), stored.b.data(), out.key.size());
    std::memcpy(out.chainCode.data(), stored.b.data() + out.key.size(), out.chainCode.size());
    return CKR_OK;
}

// The path: 32-bit big-endian words, one after the other.
CK_RV pathOf(const std::optional<Bytes>& data, std::vector<uint32_t>& path)
{
    const Bytes none;
    const Bytes& b = data ? *data : none;
    if (b.size() % 4 != 0 || b.size() / 4 > bip32::kMaxDepth) {
        return CKR_ARGUMENTS_BAD;
    }
    for (size_t i = 0; i < b.size(); i += 4) {
        path.push_back(uint32_t(b[i]) << 24 | uint32_t(b[i + 1]) << 16 | uint32_t(b[i + 2]) << 8 | b[i + 3]);
    }
    return CKR_OK;
}

CK_RV derivedKey(CToken& token, const Request& req, bip32::ExtendedKey& out)
{
    CK_SESSION_HANDLE s;
    std::vector<uint32_t> path;
    bip32::ExtendedKey master;
    if (CK_RV rv = token.session(req, s); rv != CKR_OK) {
        return rv;
    }
    if (CK_RV rv = pathOf(req.data, path); rv != CKR_OK) {
        return rv;
    }
    CK_RV rv = masterKey(token, s, master);
    if (rv == CKR_OK) {
        auto child = bip32::derive(master, path);
        rv = child ? CKR_OK : CKR_FUNCTION_FAILED;
        if (child) {
            out = *child;
            mbedtls_platform_zeroize(&*child, sizeof *child);
        }
    }
    mbedtls_platform_zeroize(&master, sizeof master);
    return rv;
}

// Output of a fixed size, or its size when the caller's buffer is smaller.
CK_RV answer(const Request& req, Response& resp, Bytes output)
{
    resp.outputLength = static_cast<uint32_t>(output.size());
    if (output.size() > req.outputLength.value_or(0)) {
        return CKR_BUFFER_TOO_SMALL;
    }
    resp.output = std::move(output);
    return CKR_OK;
}

CK_RV importKey(CToken& token, const Request& req, Response&)
{
    CK_SESSION_HANDLE s;
    if (CK_RV rv = token.session(req, s); rv != CKR_OK) {
        return rv;
    }
    if (!req.data || req.data->size() < bip32::kMinSeed || req.data->size() > bip32::kMaxSeed) {
        return CKR_DATA_LEN_RANGE;
    }
    std::optional<CK_OBJECT_HANDLE> existing;
    if (CK_RV rv = findKeyObject(token, existing); rv != CKR_OK) {
        return rv;
    }
    if (existing) {
        return kBitcoinKeyExists;
    }
    auto master = bip32::masterFromSeed(*req.data);
    if (!master) {
        return CKR_DATA_INVALID;
    }
    CK_OBJECT_HANDLE object = 0;
    Wiped stored;
    stored.b.insert(stored.b.end(), master->key.begin(), master->key.end());
    stored.b.insert(stored.b.end(), master->chainCode.begin(), master->chainCode.end());
    CK_RV rv = createKeyObject(token, s, master->key, object);
    mbedtls_platform_zeroize(&*master, sizeof *master);
    if (rv != CKR_OK) {
        return rv;
    }
    if (!writeFileAtomic(token.bitcoinKeyPath(), stored.b)) {
        token.p11().C_DestroyObject(s, object);
        return CKR_DEVICE_ERROR;
    }
    token.adopt(object, s);
    token.record("bitcoin key imported");
    return CKR_OK;
}

CK_RV publicKey(CToken& token, const Request& req, Response& resp)
{
    bip32::ExtendedKey child;
    if (CK_RV rv = derivedKey(token, req, child); rv != CKR_OK) {
        return rv;
    }
    auto point = bip32::publicKey(child.key);
    mbedtls_platform_zeroize(&child, sizeof child);
    if (!point) {
        return CKR_FUNCTION_FAILED;
    }
    return answer(req, resp, Bytes(point->begin(), point->end()));
}

CK_RV signHash(CToken& token, const Request& req, Response& resp)
{
    bip32::ExtendedKey child;
    if (CK_RV rv = derivedKey(token, req, child); rv != CKR_OK) {
        return rv;
    }
    if (!req.data2 || req.data2->size() != 32) {
        mbedtls_platform_zeroize(&child, sizeof child);
        return CKR_DATA_LEN_RANGE;
    }
    auto signature = bip32::signHash(child.key, *req.data2);
    mbedtls_platform_zeroize(&child, sizeof child);
    if (!signature) {
        return CKR_FUNCTION_FAILED;
    }
    return answer(req, resp, std::move(*signature));
}

}  // namespace

void addBitcoinCalls(CallTable& t)
{
    t[fn::ImportBitcoinKey] = importKey;
    t[fn::GetBitcoinPub] = publicKey;
    t[fn::SignBitcoinHash] = signHash;
}

}  // namespace vexa::sim::engine
