// fuzz-rpc-response: the library's reading of token replies, through real
// PKCS#11 calls and the library's own calls on a context whose one token
// answers with the fuzz input.
//
// Input: byte 0 picks the call by the function number of its first request
// (RpcRequest.function; a number without a call here picks the next one that
// has one), byte 1 its arguments (buffer sizes, the attribute template), then
// the token's replies in the order the call asks for them, each as a 16-bit
// little-endian length and that many bytes (the last one may be cut short by
// the end of the input). A call that asks for more replies than there are
// gets no answer, as from a token that is gone.
//
// Beyond what the sanitizers see (every caller buffer is a heap block of
// exactly its announced size), it checks what a caller relies on: no length
// beyond the caller's buffer where the call reports success, and no more
// handles than asked for.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "CContext.h"
#include "Extensions.h"
#include "FakeTransport.h"
#include "wire/Functions.h"

namespace {

using vexa::pkcs11::CContext;
using vexa::test::FakeToken;
using Bytes = std::vector<uint8_t>;
namespace ext = vexa::pkcs11::extensions;

constexpr CK_SLOT_ID kSlot = 0;
constexpr CK_SESSION_HANDLE kSession = 5;  // slot 0, the token's session 5

void require(bool holds, const char* what)
{
    if (!holds) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// The token's replies, taken one per request.
class Replies {
public:
    Replies(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    Bytes next()
    {
        if (m_offset >= m_size) {
            return {};
        }
        size_t length = m_data[m_offset];
        if (m_offset + 1 < m_size) {
            length |= static_cast<size_t>(m_data[m_offset + 1]) << 8;
        }
        m_offset = std::min(m_size, m_offset + 2);
        length = std::min(length, m_size - m_offset);
        Bytes reply(m_data + m_offset, m_data + m_offset + length);
        m_offset += length;
        return reply;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_offset = 0;
};

// Caller buffer sizes, picked by bits of the argument byte.
constexpr CK_ULONG kSizes[] = {1, 4, 8, 16, 32, 64, 65, 72, 128, 256, 512, 2048};

CK_ULONG sizeFrom(uint8_t bits) { return kSizes[bits % (sizeof kSizes / sizeof kSizes[0])]; }

// Whatever a caller hands in as data, a hash or a key: the content does not
// matter. Never written: PKCS#11 only lacks the const.
uint8_t g_input[32] = {1, 2, 3, 4, 5, 6, 7, 8};

struct Fixture {
    std::shared_ptr<FakeToken> token = std::make_shared<FakeToken>();
    std::unique_ptr<CContext> context;

    Fixture()
    {
        // No file can lie beneath /dev/null: the library keeps its defaults.
        context = std::make_unique<CContext>("/dev/null/", vexa::test::fakeTransportKind({token}));
        context->log().setLogLevel(vexa::pkcs11::kLogDisabled);
        require(context->C_Initialize(nullptr) == CKR_OK, "the library starts");
        context->sessions().add(kSession, vexa::pkcs11::SessionEntry{0, 0});
    }
};

Fixture& fixture()
{
    static Fixture* instance = new Fixture();
    return *instance;
}

// A heap block of exactly `size` bytes, never a null pointer (not even for
// 0 bytes, where a vector would give one): a caller's buffer.
class Buffer {
public:
    explicit Buffer(CK_ULONG size) : m_bytes(new uint8_t[size]()), m_size(size) {}
    uint8_t* data() const { return m_bytes.get(); }
    CK_ULONG size() const { return m_size; }

private:
    std::unique_ptr<uint8_t[]> m_bytes;
    CK_ULONG m_size;
};

// A caller's output buffer and its length word.
struct Output {
    explicit Output(CK_ULONG size) : bytes(size), length(size) {}
    Buffer bytes;
    CK_ULONG length;
    CK_ULONG capacity() const { return bytes.size(); }
    uint8_t* data() { return bytes.data(); }
};

void requireFits(CK_RV rv, const Output& output, const char* what)
{
    if (rv == CKR_OK) {
        require(output.length <= output.capacity(), what);
    }
}

// --- Attributes ------------------------------------------------------------

constexpr CK_ATTRIBUTE_TYPE kAttributeTypes[] = {
    CKA_CLASS,           CKA_KEY_TYPE,
    CKA_MODULUS_BITS,    CKA_TOKEN,
    CKA_SENSITIVE,       0x80000002,
    CKA_LABEL,           CKA_ID,
    CKA_MODULUS,         CKA_EC_POINT,
    CKA_VALUE,           CKA_VALUE_LEN,
    CKA_EC_PARAMS,       CKA_SUBJECT,
    CKA_WRAP_TEMPLATE,   CKA_UNWRAP_TEMPLATE,
    CKA_PUBLIC_EXPONENT, CKA_ALLOWED_MECHANISMS,
    CKA_DERIVE_TEMPLATE,
};

// One element of a template: its type and, unless it only asks for the
// size, a buffer of its own.
struct Element {
    CK_ATTRIBUTE_TYPE type;
    bool sizeOnly;
    std::unique_ptr<Buffer> buffer;
    // A template's records may have buffers of their own, which the
    // library fills as it fills the element.
    std::vector<std::unique_ptr<Buffer>> memberBuffers;
};

// A template of one to eight elements made from the argument byte, so that
// the same input always makes the same template.
std::vector<Element> makeTemplate(uint8_t arguments)
{
    uint32_t state = 0x9E3779B9u ^ arguments;
    const auto next = [&state] {
        state = state * 1103515245u + 12345u;
        return static_cast<uint8_t>(state >> 16);
    };
    std::vector<Element> elements(1 + next() % 8);
    for (Element& element : elements) {
        element.type = kAttributeTypes[next() % (sizeof kAttributeTypes / sizeof kAttributeTypes[0])];
        element.sizeOnly = next() % 5 == 0;
        const uint8_t pick = next();
        const CK_ULONG size = pick % 7 == 0 ? 2 * sizeof(CK_ATTRIBUTE) : (pick % 11 == 0 ? 0 : sizeFrom(pick >> 3));
        element.buffer = std::make_unique<Buffer>(size);
        if ((element.type == CKA_WRAP_TEMPLATE || element.type == CKA_DERIVE_TEMPLATE) && next() % 2 == 0) {
            auto* records = reinterpret_cast<CK_ATTRIBUTE*>(element.buffer->data());
            for (size_t i = 0; i < size / sizeof(CK_ATTRIBUTE); ++i) {
                element.memberBuffers.push_back(std::make_unique<Buffer>(sizeFrom(next() >> 3)));
                records[i].pValue = element.memberBuffers.back()->data();
                records[i].ulValueLen = element.memberBuffers.back()->size();
            }
        }
    }
    return elements;
}

void getAttributeValue(CContext& context, uint8_t arguments)
{
    std::vector<Element> elements = makeTemplate(arguments);
    std::vector<CK_ATTRIBUTE> attributes;
    for (Element& element : elements) {
        attributes.push_back(
            CK_ATTRIBUTE{element.type, element.sizeOnly ? nullptr : element.buffer->data(), element.buffer->size()});
    }
    context.C_GetAttributeValue(kSession, 7, attributes.data(), attributes.size());
    for (size_t i = 0; i < elements.size(); ++i) {
        if (!elements[i].sizeOnly) {
            require(attributes[i].ulValueLen <= elements[i].buffer->size() ||
                        attributes[i].ulValueLen == CK_UNAVAILABLE_INFORMATION,
                    "an attribute's length fits its buffer");
            require(attributes[i].pValue == elements[i].buffer->data(), "the caller's value pointer stays");
        }
        const auto* records = reinterpret_cast<const CK_ATTRIBUTE*>(elements[i].buffer->data());
        for (size_t m = 0; m < elements[i].memberBuffers.size(); ++m) {
            const Buffer& member = *elements[i].memberBuffers[m];
            require(records[m].pValue == member.data(), "a record's value pointer stays");
            require(records[m].ulValueLen <= member.size() || records[m].ulValueLen == CK_UNAVAILABLE_INFORMATION,
                    "a member's length fits its buffer");
        }
    }
}

// --- Objects and keys -------------------------------------------------------

void findObjects(CContext& context, uint8_t arguments)
{
    const CK_ULONG maximum = 1 + arguments % 20;
    std::vector<CK_OBJECT_HANDLE> handles(maximum);
    CK_ULONG count = 0;
    context.C_FindObjects(kSession, handles.data(), maximum, &count);
    require(count <= maximum, "no more handles than asked for");
}

CK_BBOOL g_yes = CK_TRUE;
CK_ATTRIBUTE g_template[] = {{CKA_TOKEN, &g_yes, sizeof g_yes}};

void generateKeyPair(CContext& context, uint8_t arguments)
{
    CK_MECHANISM mechanism{arguments % 2 == 0 ? CKM_EC_KEY_PAIR_GEN : CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_ATTRIBUTE privateTemplate[] = {{CKA_SIGN, &g_yes, sizeof g_yes}};
    CK_OBJECT_HANDLE publicKey = 0;
    CK_OBJECT_HANDLE privateKey = 0;
    context.C_GenerateKeyPair(kSession, &mechanism, g_template, 1, privateTemplate, 1, &publicKey, &privateKey);
}

void generateKey(CContext& context, uint8_t)
{
    CK_MECHANISM mechanism{CKM_AES_KEY_GEN, nullptr, 0};
    CK_OBJECT_HANDLE handle = 0;
    context.C_GenerateKey(kSession, &mechanism, g_template, 1, &handle);
}

void createObject(CContext& context, uint8_t)
{
    CK_OBJECT_HANDLE handle = 0;
    context.C_CreateObject(kSession, g_template, 1, &handle);
}

void copyObject(CContext& context, uint8_t)
{
    CK_OBJECT_HANDLE handle = 0;
    context.C_CopyObject(kSession, 7, g_template, 1, &handle);
}

void objectSize(CContext& context, uint8_t)
{
    CK_ULONG size = 0;
    context.C_GetObjectSize(kSession, 7, &size);
}

void wrapKey(CContext& context, uint8_t arguments)
{
    CK_MECHANISM mechanism{CKM_AES_KEY_WRAP, nullptr, 0};
    if (arguments & 0x80) {
        CK_ULONG length = 0;
        context.C_WrapKey(kSession, &mechanism, 8, 9, nullptr, &length);
        return;
    }
    Output output(sizeFrom(arguments));
    const CK_RV rv = context.C_WrapKey(kSession, &mechanism, 8, 9, output.data(), &output.length);
    requireFits(rv, output, "a wrapped key fits its buffer");
}

void unwrapKey(CContext& context, uint8_t)
{
    CK_MECHANISM mechanism{CKM_AES_KEY_WRAP, nullptr, 0};
    CK_OBJECT_HANDLE handle = 0;
    context.C_UnwrapKey(kSession, &mechanism, 8, g_input, sizeof g_input, g_template, 1, &handle);
}

void deriveKey(CContext& context, uint8_t)
{
    CK_ECDH1_DERIVE_PARAMS parameters{CKD_NULL, 0, nullptr, sizeof g_input, g_input};
    CK_MECHANISM mechanism{CKM_ECDH1_DERIVE, &parameters, sizeof parameters};
    CK_OBJECT_HANDLE handle = 0;
    context.C_DeriveKey(kSession, &mechanism, 8, g_template, 1, &handle);
}

// --- Cryptographic operations -----------------------------------------------

using DataCall = CK_RV (*)(CContext&, uint8_t* output, CK_ULONG* length);

// A function that hands output to the caller's buffer; bit 7 asks for the
// length only, the other bits pick the buffer's size.
template <DataCall call>
void outputFunction(CContext& context, uint8_t arguments)
{
    const bool lengthOnly = (arguments & 0x80) != 0;
    Output output(sizeFrom(arguments));
    const CK_RV rv = call(context, lengthOnly ? nullptr : output.data(), &output.length);
    if (!lengthOnly) {
        requireFits(rv, output, "output fits its buffer");
    }
}

CK_RV encrypt(CContext& c, uint8_t* out, CK_ULONG* length)
{
    return c.C_Encrypt(kSession, g_input, sizeof g_input, out, length);
}
CK_RV decrypt(CContext& c, uint8_t* out, CK_ULONG* length)
{
    return c.C_Decrypt(kSession, g_input, sizeof g_input, out, length);
}
CK_RV encryptUpdate(CContext& c, uint8_t* out, CK_ULONG* length)
{
    return c.C_EncryptUpdate(kSession, g_input, sizeof g_input, out, length);
}
CK_RV decryptUpdate(CContext& c, uint8_t* out, CK_ULONG* length)
{
    return c.C_DecryptUpdate(kSession, g_input, sizeof g_input, out, length);
}
CK_RV encryptFinal(CContext& c, uint8_t* out, CK_ULONG* length) { return c.C_EncryptFinal(kSession, out, length); }
CK_RV decryptFinal(CContext& c, uint8_t* out, CK_ULONG* length) { return c.C_DecryptFinal(kSession, out, length); }
// C_Digest is an update and a final; with a small buffer a length query first.
CK_RV digest(CContext& c, uint8_t* out, CK_ULONG* length)
{
    return c.C_Digest(kSession, g_input, sizeof g_input, out, length);
}
CK_RV digestFinal(CContext& c, uint8_t* out, CK_ULONG* length) { return c.C_DigestFinal(kSession, out, length); }
CK_RV sign(CContext& c, uint8_t* out, CK_ULONG* length)
{
    return c.C_Sign(kSession, g_input, sizeof g_input, out, length);
}
CK_RV signFinal(CContext& c, uint8_t* out, CK_ULONG* length) { return c.C_SignFinal(kSession, out, length); }

void verify(CContext& context, uint8_t) { context.C_Verify(kSession, g_input, sizeof g_input, g_input, 16); }

// Long enough for two update requests.
void signUpdate(CContext& context, uint8_t arguments)
{
    std::vector<uint8_t> data(arguments % 2 == 0 ? 2100 : 16, 0x5A);
    context.C_SignUpdate(kSession, data.data(), data.size());
}

void generateRandom(CContext& context, uint8_t arguments)
{
    Output output(sizeFrom(arguments));
    context.C_GenerateRandom(kSession, output.data(), output.capacity());
}

// --- Slots, tokens and sessions ---------------------------------------------

// C_GetMechanismInfo comes along: answered from the library's own table.
void tokenInfo(CContext& context, uint8_t arguments)
{
    auto info = std::make_unique<CK_TOKEN_INFO>();
    context.C_GetTokenInfo(kSlot, info.get());
    auto mechanism = std::make_unique<CK_MECHANISM_INFO>();
    context.C_GetMechanismInfo(kSlot, arguments % 2 == 0 ? CKM_ECDSA : CKM_RSA_PKCS_KEY_PAIR_GEN, mechanism.get());
}

void sessionInfo(CContext& context, uint8_t)
{
    auto session = std::make_unique<CK_SESSION_INFO>();
    context.C_GetSessionInfo(kSession, session.get());
}

void openSession(CContext& context, uint8_t)
{
    CK_SESSION_HANDLE handle = CK_INVALID_HANDLE;
    if (context.C_OpenSession(kSlot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &handle) == CKR_OK &&
        handle != CK_INVALID_HANDLE) {
        require(handle >> 56 == kSlot, "a new session's handle names its slot");
    }
    // The table must not grow from one input to the next.
    if (handle != kSession) {
        context.sessions().remove(handle);
    }
}

void setDateTime(CContext& context, uint8_t) { context.bSetDateTime(kSlot); }

// --- The library's own calls --------------------------------------------------

void readTokenData(CContext& context, uint8_t arguments)
{
    Output output(sizeFrom(arguments));
    ext::readTokenData(context, kSlot, output.data(), &output.length);
    require(output.length <= output.capacity(), "a data read counts only what fits its buffer");
}

// Up to six chunks.
void writeTokenData(CContext& context, uint8_t arguments)
{
    std::vector<uint8_t> data(1 + arguments * 36, 0xA5);
    ext::writeTokenData(context, kSlot, data.data(), data.size());
}

void readLogEntries(CContext& context, uint8_t arguments)
{
    if (arguments & 0x80) {
        CK_ULONG length = 0;
        ext::readLogEntries(context, kSlot, nullptr, &length);
        return;
    }
    Output output(sizeFrom(arguments));
    if (ext::readLogEntries(context, kSlot, output.data(), &output.length)) {
        require(output.length <= output.capacity(), "a log fits its buffer");
    }
}

void getTokenConfig(CContext& context, uint8_t)
{
    auto record = std::make_unique<TokenConfigRecord>();
    record->version = VEXA_TOKEN_CONFIG_VERSION;
    record->size = VEXA_TOKEN_CONFIG_SIZE;
    ext::getTokenConfig(context, kSlot, record.get());
}

void setTokenValue(CContext& context, uint8_t arguments) { ext::setTokenValue(context, kSlot, 1000, arguments); }

const uint32_t kPath[] = {0x8000002C, 0x80000000, 0x80000000, 0, 1};

void getBitcoinPub(CContext& context, uint8_t arguments)
{
    Output output(sizeFrom(arguments));
    const CK_RV rv = ext::getBitcoinPub(context, kSession, kPath, 5, output.data(), &output.length);
    requireFits(rv, output, "a public key fits its buffer");
}

void signBitcoinHash(CContext& context, uint8_t arguments)
{
    Output output(sizeFrom(arguments));
    const CK_RV rv =
        ext::signBitcoinHash(context, kSession, g_input, sizeof g_input, kPath, 5, output.data(), &output.length);
    requireFits(rv, output, "a Bitcoin signature fits its buffer");
}

// The key search: C_FindObjectsInit, C_FindObjects, C_FindObjectsFinal;
// bit 0 imports a key when there is none.
void bitcoinKey(CContext& context, uint8_t arguments)
{
    if (arguments & 1) {
        ext::importBitcoinKey(context, kSession, g_input, sizeof g_input);
        return;
    }
    CK_OBJECT_HANDLE key = 0;
    ext::hasBitcoinKey(context, kSession, &key);
}

using Call = void (*)(CContext&, uint8_t);
using vexa::wire::FunctionId;
namespace fn = vexa::wire::fn;

// Each call under the function number of its first request.
constexpr std::pair<FunctionId, Call> kCalls[] = {
    {fn::GenerateKey, generateKey},
    {fn::Encrypt, outputFunction<encrypt>},
    {fn::Decrypt, outputFunction<decrypt>},
    {fn::EncryptUpdate, outputFunction<encryptUpdate>},
    {fn::DecryptUpdate, outputFunction<decryptUpdate>},
    {fn::EncryptFinal, outputFunction<encryptFinal>},
    {fn::DecryptFinal, outputFunction<decryptFinal>},
    {fn::OpenSession, openSession},
    {fn::GenerateKeyPair, generateKeyPair},
    {fn::GetAttributeValue, getAttributeValue},
    {fn::GetSessionInfo, sessionInfo},
    {fn::Sign, outputFunction<sign>},
    {fn::Verify, verify},
    {fn::SignUpdate, signUpdate},
    {fn::SignFinal, outputFunction<signFinal>},
    {fn::DigestUpdate, outputFunction<digest>},
    {fn::DigestFinal, outputFunction<digestFinal>},
    {fn::FindObjectsInit, bitcoinKey},
    {fn::GetTokenInfo, tokenInfo},
    {fn::CreateObject, createObject},
    {fn::FindObjects, findObjects},
    {fn::CopyObject, copyObject},
    {fn::GenerateRandom, generateRandom},
    {fn::WrapKey, wrapKey},
    {fn::UnwrapKey, unwrapKey},
    {fn::ReadLogEntries, readLogEntries},
    {fn::SetDateTime, setDateTime},
    {fn::DeriveKey, deriveKey},
    {fn::GetObjectSize, objectSize},
    {fn::GetTokenConfig, getTokenConfig},
    {fn::SetTokenValue, setTokenValue},
    {fn::ReadTokenData, readTokenData},
    {fn::WriteTokenData, writeTokenData},
    {fn::GetBitcoinPub, getBitcoinPub},
    {fn::SignBitcoinHash, signBitcoinHash},
};

// The call of this function number, or of the next number that has one.
Call callFor(uint8_t number)
{
    for (const auto& entry : kCalls) {
        if (entry.first >= number) {
            return entry.second;
        }
    }
    return kCalls[0].second;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) {
        return 0;
    }
    Fixture& f = fixture();
    auto replies = std::make_shared<Replies>(data + 2, size - 2);
    f.token->responder = [replies](const Bytes&) { return replies->next(); };
    callFor(data[0])(*f.context, data[1]);
    // The fake keeps what it saw; the next input starts afresh.
    f.token->requests.clear();
    f.token->calls.clear();
    return 0;
}
