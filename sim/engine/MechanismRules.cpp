#include "MechanismRules.h"

#include <algorithm>
#include <array>
#include <iterator>

namespace vexa::sim::engine {
namespace {

enum Use : unsigned {
    kEncrypt = 1u << static_cast<unsigned>(KeyUse::Encrypt),
    kDecrypt = 1u << static_cast<unsigned>(KeyUse::Decrypt),
    kSign = 1u << static_cast<unsigned>(KeyUse::Sign),
    kVerify = 1u << static_cast<unsigned>(KeyUse::Verify),
    kWrap = 1u << static_cast<unsigned>(KeyUse::Wrap),
    kUnwrap = 1u << static_cast<unsigned>(KeyUse::Unwrap),
    kDerive = 1u << static_cast<unsigned>(KeyUse::Derive),
};
constexpr unsigned kCipher = kEncrypt | kDecrypt;
constexpr unsigned kSignature = kSign | kVerify;
constexpr unsigned kKeyWrap = kWrap | kUnwrap;

constexpr CK_KEY_TYPE kNoKey = CKK_VENDOR_DEFINED;
using KeyTypes = std::array<CK_KEY_TYPE, 2>;

constexpr bool kSinglePart = true;
constexpr bool kMultiPart = false;

// Where the hash length h of a length rule comes from.
enum class Hash { None, Oaep, Pss };

// A length: perKey * k + perHash * h + plus, for a key of size k.
struct Length {
    int perKey = 0;
    int perHash = 0;
    int plus = 0;
    bool given = false;
};
constexpr Length kFree{};
constexpr Length key(int times = 1, int plus = 0) { return {times, 0, plus, true}; }
constexpr Length bytes(int n) { return {0, 0, n, true}; }
constexpr Length hashed(int perKey, int perHash, int plus) { return {perKey, perHash, plus, true}; }

// Data of encrypt, sign and verify: any length, at most one, exactly one,
// or the length of one of the SHA digests (what a raw DSA signature signs).
enum class Input { Any, AtMost, Exactly, Digest };
struct InputRule {
    Input kind = Input::Any;
    Length length;
};
constexpr InputRule kAny{};
constexpr InputRule atMost(Length l) { return {Input::AtMost, l}; }
constexpr InputRule exactly(Length l) { return {Input::Exactly, l}; }
constexpr InputRule kDigest{Input::Digest, kFree};
constexpr size_t kDigestSizes[] = {20, 28, 32, 48, 64};

constexpr size_t kNoParameter = 0;
constexpr size_t kPssParameter = sizeof(CK_RSA_PKCS_PSS_PARAMS);
constexpr size_t kCtrParameter = sizeof(CK_AES_CTR_PARAMS);
constexpr size_t kGcmParameter = sizeof(CK_GCM_PARAMS);

struct Rule {
    CK_MECHANISM_TYPE mechanism;
    unsigned uses;
    KeyTypes keyTypes;
    bool singlePart;
    size_t parameterSize;  // exact size of the parameter the mechanism needs
    Hash hash;
    Length smallestKey;
    InputRule input;
    Length sealed;  // ciphertext, signature or wrapped key
};

// The mechanisms of SoftHSM2 2.6 that use a key. PKCS #1 v1.5 leaves 11
// bytes of padding; OAEP 2h + 2; a hashed signature needs room for its
// DigestInfo (18 or 19 bytes and the hash) and the padding; PSS for the hash
// and 2 bytes.
// clang-format off
const Rule kRules[] = {
//   mechanism                  uses                             key types                              parts        parameter      hash        smallest key     input                      sealed
    {CKM_RSA_PKCS,              kCipher | kSignature | kKeyWrap, {CKK_RSA, kNoKey},                     kSinglePart, kNoParameter,  Hash::None, bytes(12),       atMost(key(1, -11)),       key()},
    {CKM_RSA_X_509,             kCipher | kSignature,            {CKK_RSA, kNoKey},                     kSinglePart, kNoParameter,  Hash::None, bytes(1),        atMost(key()),             key()},
    {CKM_RSA_PKCS_OAEP,         kCipher | kKeyWrap,              {CKK_RSA, kNoKey},                     kSinglePart, kNoParameter,  Hash::Oaep, hashed(0, 2, 2), atMost(hashed(1, -2, -2)), key()},
    {CKM_RSA_PKCS_PSS,          kSignature,                      {CKK_RSA, kNoKey},                     kSinglePart, kPssParameter, Hash::Pss,  hashed(0, 2, 2), exactly(hashed(0, 1, 0)),  key()},
    {CKM_MD5_RSA_PKCS,          kSignature,                      {CKK_RSA, kNoKey},                     kMultiPart,  kNoParameter,  Hash::None, bytes(45),       kAny,                      key()},
    {CKM_SHA1_RSA_PKCS,         kSignature,                      {CKK_RSA, kNoKey},                     kMultiPart,  kNoParameter,  Hash::None, bytes(46),       kAny,                      key()},
    {CKM_SHA224_RSA_PKCS,       kSignature,                      {CKK_RSA, kNoKey},                     kMultiPart,  kNoParameter,  Hash::None, bytes(58),       kAny,                      key()},
    {CKM_SHA256_RSA_PKCS,       kSignature,                      {CKK_RSA, kNoKey},                     kMultiPart,  kNoParameter,  Hash::None, bytes(62),       kAny,                      key()},
    {CKM_SHA384_RSA_PKCS,       kSignature,                      {CKK_RSA, kNoKey},                     kMultiPart,  kNoParameter,  Hash::None, bytes(78),       kAny,                      key()},
    {CKM_SHA512_RSA_PKCS,       kSignature,                      {CKK_RSA, kNoKey},                     kMultiPart,  kNoParameter,  Hash::None, bytes(94),       kAny,                      key()},
    {CKM_SHA1_RSA_PKCS_PSS,     kSignature,                      {CKK_RSA, kNoKey},                     kMultiPart,  kPssParameter, Hash::None, bytes(42),       kAny,                      key()},
    {CKM_SHA224_RSA_PKCS_PSS,   kSignature,                      {CKK_RSA, kNoKey},                     kMultiPart,  kPssParameter, Hash::None, bytes(58),       kAny,                      key()},
    {CKM_SHA256_RSA_PKCS_PSS,   kSignature,                      {CKK_RSA, kNoKey},                     kMultiPart,  kPssParameter, Hash::None, bytes(66),       kAny,                      key()},
    {CKM_SHA384_RSA_PKCS_PSS,   kSignature,                      {CKK_RSA, kNoKey},                     kMultiPart,  kPssParameter, Hash::None, bytes(98),       kAny,                      key()},
    {CKM_SHA512_RSA_PKCS_PSS,   kSignature,                      {CKK_RSA, kNoKey},                     kMultiPart,  kPssParameter, Hash::None, bytes(130),      kAny,                      key()},
    // DSA, EC and Edwards signatures are two numbers of the key's size.
    {CKM_DSA,                   kSignature,                      {CKK_DSA, kNoKey},                     kSinglePart, kNoParameter,  Hash::None, bytes(1),        kDigest,                   key(2)},
    {CKM_DSA_SHA1,              kSignature,                      {CKK_DSA, kNoKey},                     kMultiPart,  kNoParameter,  Hash::None, bytes(1),        kAny,                      key(2)},
    {CKM_DSA_SHA224,            kSignature,                      {CKK_DSA, kNoKey},                     kMultiPart,  kNoParameter,  Hash::None, bytes(1),        kAny,                      key(2)},
    {CKM_DSA_SHA256,            kSignature,                      {CKK_DSA, kNoKey},                     kMultiPart,  kNoParameter,  Hash::None, bytes(1),        kAny,                      key(2)},
    {CKM_DSA_SHA384,            kSignature,                      {CKK_DSA, kNoKey},                     kMultiPart,  kNoParameter,  Hash::None, bytes(1),        kAny,                      key(2)},
    {CKM_DSA_SHA512,            kSignature,                      {CKK_DSA, kNoKey},                     kMultiPart,  kNoParameter,  Hash::None, bytes(1),        kAny,                      key(2)},
    {CKM_ECDSA,                 kSignature,                      {CKK_EC, kNoKey},                      kSinglePart, kNoParameter,  Hash::None, bytes(1),        kAny,                      key(2)},
    // The token hashes these itself (PreHash.h); SoftHSM2 signs the digest.
    {CKM_ECDSA_SHA1,            kSignature,                      {CKK_EC, kNoKey},                      kMultiPart,  kNoParameter,  Hash::None, bytes(1),        kAny,                      key(2)},
    {CKM_ECDSA_SHA224,          kSignature,                      {CKK_EC, kNoKey},                      kMultiPart,  kNoParameter,  Hash::None, bytes(1),        kAny,                      key(2)},
    {CKM_ECDSA_SHA256,          kSignature,                      {CKK_EC, kNoKey},                      kMultiPart,  kNoParameter,  Hash::None, bytes(1),        kAny,                      key(2)},
    {CKM_ECDSA_SHA384,          kSignature,                      {CKK_EC, kNoKey},                      kMultiPart,  kNoParameter,  Hash::None, bytes(1),        kAny,                      key(2)},
    {CKM_ECDSA_SHA512,          kSignature,                      {CKK_EC, kNoKey},                      kMultiPart,  kNoParameter,  Hash::None, bytes(1),        kAny,                      key(2)},
    {CKM_EDDSA,                 kSignature,                      {CKK_EC_EDWARDS, kNoKey},              kSinglePart, kNoParameter,  Hash::None, bytes(1),        kAny,                      key(2)},
    {CKM_ECDH1_DERIVE,          kDerive,                         {CKK_EC, CKK_EC_EDWARDS},              kSinglePart, kNoParameter,  Hash::None, bytes(1),        kAny,                      kFree},
    {CKM_DH_PKCS_DERIVE,        kDerive,                         {CKK_DH, kNoKey},                      kSinglePart, kNoParameter,  Hash::None, bytes(1),        kAny,                      kFree},
    // Block ciphers: a CBC parameter is one block, a CTR parameter a CK_AES_CTR_PARAMS,
    // a GCM parameter a CK_GCM_PARAMS rebuilt from its own message.
    {CKM_AES_ECB,               kCipher,                         {CKK_AES, kNoKey},                     kMultiPart,  kNoParameter,  Hash::None, kFree,           kAny,                      kFree},
    {CKM_AES_CBC,               kCipher,                         {CKK_AES, kNoKey},                     kMultiPart,  16,            Hash::None, kFree,           kAny,                      kFree},
    {CKM_AES_CBC_PAD,           kCipher,                         {CKK_AES, kNoKey},                     kMultiPart,  16,            Hash::None, kFree,           kAny,                      kFree},
    {CKM_AES_CTR,               kCipher,                         {CKK_AES, kNoKey},                     kMultiPart,  kCtrParameter, Hash::None, kFree,           kAny,                      kFree},
    {CKM_AES_GCM,               kCipher,                         {CKK_AES, kNoKey},                     kMultiPart,  kGcmParameter, Hash::None, kFree,           kAny,                      kFree},
    {CKM_AES_CMAC,              kSignature,                      {CKK_AES, kNoKey},                     kMultiPart,  kNoParameter,  Hash::None, kFree,           kAny,                      bytes(16)},
    {CKM_AES_KEY_WRAP,          kKeyWrap,                        {CKK_AES, kNoKey},                     kSinglePart, kNoParameter,  Hash::None, kFree,           kAny,                      kFree},
    {CKM_AES_KEY_WRAP_PAD,      kKeyWrap,                        {CKK_AES, kNoKey},                     kSinglePart, kNoParameter,  Hash::None, kFree,           kAny,                      kFree},
    {CKM_AES_ECB_ENCRYPT_DATA,  kDerive,                         {CKK_AES, kNoKey},                     kSinglePart, kNoParameter,  Hash::None, kFree,           kAny,                      kFree},
    {CKM_AES_CBC_ENCRYPT_DATA,  kDerive,                         {CKK_AES, kNoKey},                     kSinglePart, kNoParameter,  Hash::None, kFree,           kAny,                      kFree},
    {CKM_DES_ECB,               kCipher,                         {CKK_DES, kNoKey},                     kMultiPart,  kNoParameter,  Hash::None, kFree,           kAny,                      kFree},
    {CKM_DES_CBC,               kCipher,                         {CKK_DES, kNoKey},                     kMultiPart,  8,             Hash::None, kFree,           kAny,                      kFree},
    {CKM_DES_CBC_PAD,           kCipher,                         {CKK_DES, kNoKey},                     kMultiPart,  8,             Hash::None, kFree,           kAny,                      kFree},
    {CKM_DES3_ECB,              kCipher,                         {CKK_DES2, CKK_DES3},                  kMultiPart,  kNoParameter,  Hash::None, kFree,           kAny,                      kFree},
    {CKM_DES3_CBC,              kCipher,                         {CKK_DES2, CKK_DES3},                  kMultiPart,  8,             Hash::None, kFree,           kAny,                      kFree},
    {CKM_DES3_CBC_PAD,          kCipher,                         {CKK_DES2, CKK_DES3},                  kMultiPart,  8,             Hash::None, kFree,           kAny,                      kFree},
    {CKM_DES3_CMAC,             kSignature,                      {CKK_DES2, CKK_DES3},                  kMultiPart,  kNoParameter,  Hash::None, kFree,           kAny,                      bytes(8)},
    {CKM_DES_ECB_ENCRYPT_DATA,  kDerive,                         {CKK_DES, kNoKey},                     kSinglePart, kNoParameter,  Hash::None, kFree,           kAny,                      kFree},
    {CKM_DES_CBC_ENCRYPT_DATA,  kDerive,                         {CKK_DES, kNoKey},                     kSinglePart, kNoParameter,  Hash::None, kFree,           kAny,                      kFree},
    {CKM_DES3_ECB_ENCRYPT_DATA, kDerive,                         {CKK_DES2, CKK_DES3},                  kSinglePart, kNoParameter,  Hash::None, kFree,           kAny,                      kFree},
    {CKM_DES3_CBC_ENCRYPT_DATA, kDerive,                         {CKK_DES2, CKK_DES3},                  kSinglePart, kNoParameter,  Hash::None, kFree,           kAny,                      kFree},
    // HMAC takes a generic secret or a key of the hash's own type; the MAC is the hash.
    {CKM_MD5_HMAC,              kSignature,                      {CKK_GENERIC_SECRET, CKK_MD5_HMAC},    kMultiPart,  kNoParameter,  Hash::None, kFree,           kAny,                      bytes(16)},
    {CKM_SHA_1_HMAC,            kSignature,                      {CKK_GENERIC_SECRET, CKK_SHA_1_HMAC},  kMultiPart,  kNoParameter,  Hash::None, kFree,           kAny,                      bytes(20)},
    {CKM_SHA224_HMAC,           kSignature,                      {CKK_GENERIC_SECRET, CKK_SHA224_HMAC}, kMultiPart,  kNoParameter,  Hash::None, kFree,           kAny,                      bytes(28)},
    {CKM_SHA256_HMAC,           kSignature,                      {CKK_GENERIC_SECRET, CKK_SHA256_HMAC}, kMultiPart,  kNoParameter,  Hash::None, kFree,           kAny,                      bytes(32)},
    {CKM_SHA384_HMAC,           kSignature,                      {CKK_GENERIC_SECRET, CKK_SHA384_HMAC}, kMultiPart,  kNoParameter,  Hash::None, kFree,           kAny,                      bytes(48)},
    {CKM_SHA512_HMAC,           kSignature,                      {CKK_GENERIC_SECRET, CKK_SHA512_HMAC}, kMultiPart,  kNoParameter,  Hash::None, kFree,           kAny,                      bytes(64)},
};
// clang-format on

const Rule* ruleFor(CK_MECHANISM_TYPE mechanism)
{
    auto it =
        std::find_if(std::begin(kRules), std::end(kRules), [&](const Rule& r) { return r.mechanism == mechanism; });
    return it == std::end(kRules) ? nullptr : &*it;
}

size_t hashLength(CK_MECHANISM_TYPE hash)
{
    switch (hash) {
    case CKM_MD5:
        return 16;
    case CKM_SHA_1:
        return 20;
    case CKM_SHA224:
        return 28;
    case CKM_SHA256:
        return 32;
    case CKM_SHA384:
        return 48;
    case CKM_SHA512:
        return 64;
    default:
        return 0;
    }
}

// The length of the hash the mechanism's parameter names; 0 when the
// parameter names none.
size_t parameterHash(const CK_MECHANISM& m, Hash hash)
{
    if (hash == Hash::Oaep && m.pParameter && m.ulParameterLen == sizeof(CK_RSA_PKCS_OAEP_PARAMS)) {
        return hashLength(static_cast<const CK_RSA_PKCS_OAEP_PARAMS*>(m.pParameter)->hashAlg);
    }
    if (hash == Hash::Pss && m.pParameter && m.ulParameterLen == sizeof(CK_RSA_PKCS_PSS_PARAMS)) {
        return hashLength(static_cast<const CK_RSA_PKCS_PSS_PARAMS*>(m.pParameter)->hashAlg);
    }
    return 0;
}

// Never below 0: the smallest key size keeps every limit of a rule positive.
size_t evaluate(const Length& l, size_t keySize, size_t hash)
{
    const long long v = static_cast<long long>(keySize) * l.perKey + static_cast<long long>(hash) * l.perHash + l.plus;
    return static_cast<size_t>(std::max(v, 0LL));
}

// Public keys encrypt, verify and wrap; private keys do the rest.
CK_OBJECT_CLASS classFor(KeyUse use, CK_KEY_TYPE type)
{
    if (isSecretKeyType(type)) {
        return CKO_SECRET_KEY;
    }
    const bool isPublic = use == KeyUse::Encrypt || use == KeyUse::Verify || use == KeyUse::Wrap;
    return isPublic ? CKO_PUBLIC_KEY : CKO_PRIVATE_KEY;
}

bool takes(const Rule& rule, KeyUse use, const KeyFacts& key)
{
    const bool typeFits =
        key.type != kNoKey && std::find(rule.keyTypes.begin(), rule.keyTypes.end(), key.type) != rule.keyTypes.end();
    return typeFits && key.cls == classFor(use, key.type);
}

CK_RV typeInconsistent(KeyUse use)
{
    switch (use) {
    case KeyUse::Wrap:
        return CKR_WRAPPING_KEY_TYPE_INCONSISTENT;
    case KeyUse::Unwrap:
        return CKR_UNWRAPPING_KEY_TYPE_INCONSISTENT;
    default:
        return CKR_KEY_TYPE_INCONSISTENT;
    }
}

CK_RV sizeOutOfRange(KeyUse use)
{
    switch (use) {
    case KeyUse::Wrap:
        return CKR_WRAPPING_KEY_SIZE_RANGE;
    case KeyUse::Unwrap:
        return CKR_UNWRAPPING_KEY_SIZE_RANGE;
    default:
        return CKR_KEY_SIZE_RANGE;
    }
}

// What a token can afford to make: generating a larger RSA key or larger
// domain parameters takes minutes, during which the token serves nobody, and
// a generic secret is a key, not a store of megabytes.
struct GenerationRule {
    CK_MECHANISM_TYPE mechanism;
    CK_ATTRIBUTE_TYPE size;
    CK_ULONG smallest;
    CK_ULONG largest;
    CK_RV outside;
};

const GenerationRule kGenerationRules[] = {
    {CKM_RSA_PKCS_KEY_PAIR_GEN, CKA_MODULUS_BITS, 1024, 4096, CKR_KEY_SIZE_RANGE},
    {CKM_DSA_PARAMETER_GEN, CKA_PRIME_BITS, 1024, 2048, CKR_ATTRIBUTE_VALUE_INVALID},
    {CKM_DH_PKCS_PARAMETER_GEN, CKA_PRIME_BITS, 1024, 2048, CKR_ATTRIBUTE_VALUE_INVALID},
    {CKM_GENERIC_SECRET_KEY_GEN, CKA_VALUE_LEN, 1, 512, CKR_ATTRIBUTE_VALUE_INVALID},
};

void fillInput(const InputRule& input, size_t keySize, size_t hash, OperationLimits& limits)
{
    switch (input.kind) {
    case Input::Any:
        break;
    case Input::AtMost:
        limits.maxInput = evaluate(input.length, keySize, hash);
        break;
    case Input::Exactly:
        limits.inputSizes = {evaluate(input.length, keySize, hash)};
        break;
    case Input::Digest:
        limits.inputSizes.assign(std::begin(kDigestSizes), std::end(kDigestSizes));
        break;
    }
}

}  // namespace

CK_RV checkKeyUse(const CK_MECHANISM& mechanism, KeyUse use, const KeyFacts& key, OperationLimits& limits)
{
    const Rule* rule = ruleFor(mechanism.mechanism);
    if (!rule || !(rule->uses & (1u << static_cast<unsigned>(use)))) {
        return CKR_MECHANISM_INVALID;
    }
    if (!takes(*rule, use, key)) {
        return typeInconsistent(use);
    }
    if (rule->parameterSize != kNoParameter &&
        (!mechanism.pParameter || mechanism.ulParameterLen != rule->parameterSize)) {
        return CKR_MECHANISM_PARAM_INVALID;
    }
    const size_t hash = parameterHash(mechanism, rule->hash);
    if (rule->hash != Hash::None && hash == 0) {
        return CKR_MECHANISM_PARAM_INVALID;
    }
    if (rule->smallestKey.given && key.size < std::max<size_t>(1, evaluate(rule->smallestKey, key.size, hash))) {
        return sizeOutOfRange(use);
    }
    limits = OperationLimits();
    limits.singlePart = rule->singlePart;
    fillInput(rule->input, key.size, hash, limits);
    if (rule->sealed.given) {
        limits.sealedSize = evaluate(rule->sealed, key.size, hash);
    }
    return CKR_OK;
}

CK_RV checkGeneration(CK_MECHANISM_TYPE mechanism, const CK_ATTRIBUTE* templ, CK_ULONG count)
{
    for (const GenerationRule& rule : kGenerationRules) {
        if (rule.mechanism != mechanism) {
            continue;
        }
        for (CK_ULONG i = 0; i < count; ++i) {
            const CK_ATTRIBUTE& a = templ[i];
            if (a.type != rule.size || !a.pValue || a.ulValueLen != sizeof(CK_ULONG)) {
                continue;
            }
            const CK_ULONG size = *static_cast<const CK_ULONG*>(a.pValue);
            if (size < rule.smallest || size > rule.largest) {
                return rule.outside;
            }
        }
    }
    return CKR_OK;
}

CK_RV checkInput(const OperationLimits& limits, size_t length)
{
    if (limits.maxInput && length > *limits.maxInput) {
        return CKR_DATA_LEN_RANGE;
    }
    const auto& sizes = limits.inputSizes;
    if (!sizes.empty() && std::find(sizes.begin(), sizes.end(), length) == sizes.end()) {
        return CKR_DATA_LEN_RANGE;
    }
    return CKR_OK;
}

CK_RV checkSealed(const OperationLimits& limits, KeyUse use, size_t length)
{
    if (!limits.sealedSize || length == *limits.sealedSize) {
        return CKR_OK;
    }
    switch (use) {
    case KeyUse::Decrypt:
        return CKR_ENCRYPTED_DATA_LEN_RANGE;
    case KeyUse::Unwrap:
        return CKR_WRAPPED_KEY_LEN_RANGE;
    default:
        return CKR_SIGNATURE_LEN_RANGE;
    }
}

}  // namespace vexa::sim::engine
