// Mechanisms and cryptographic operations through libvexa-pkcs11.so as
// applications load it, on tokens of vexa-token-sim reached over HID. Run by
// ctest under the simulator (see CMakeLists.txt): slot 0 is a Vexa, slot 1 a
// Varkon.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <p11-kit/pkcs11.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "HexText.h"
#include "ModuleSession.h"
#include "TempDir.h"

namespace {

using Bytes = std::vector<CK_BYTE>;

// DER of the OID of prime256v1.
CK_BYTE kP256[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
CK_BBOOL kTrue = CK_TRUE;
CK_BBOOL kFalse = CK_FALSE;

// 4500 bytes: more than two update chunks.
Bytes longMessage()
{
    Bytes message(4500);
    for (size_t i = 0; i < message.size(); ++i) {
        message[i] = static_cast<CK_BYTE>((i * 7 + 3) % 251);
    }
    return message;
}

std::string hex(const Bytes& bytes) { return vexa::test::toHex(bytes); }

class CryptoSimTest : public vexa::test::ModuleSessionTest {
protected:
    CryptoSimTest() : ModuleSessionTest(2) {}

    CK_OBJECT_HANDLE aesKey()
    {
        CK_ULONG length = 32;
        CK_ATTRIBUTE attributes[] = {{CKA_VALUE_LEN, &length, sizeof length},
                                     {CKA_TOKEN, &kFalse, sizeof kFalse},
                                     {CKA_ENCRYPT, &kTrue, sizeof kTrue},
                                     {CKA_DECRYPT, &kTrue, sizeof kTrue}};
        CK_MECHANISM generate{CKM_AES_KEY_GEN, nullptr, 0};
        CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
        EXPECT_EQ(p11->C_GenerateKey(session, &generate, attributes, 4, &key), CKR_OK);
        return key;
    }

    // What an application does: ask for the length, then fill a buffer.
    Bytes encrypt(CK_MECHANISM& mechanism, CK_OBJECT_HANDLE key, Bytes plain)
    {
        EXPECT_EQ(p11->C_EncryptInit(session, &mechanism, key), CKR_OK);
        CK_ULONG length = 0;
        EXPECT_EQ(p11->C_Encrypt(session, plain.data(), plain.size(), nullptr, &length), CKR_OK);
        Bytes out(length);
        EXPECT_EQ(p11->C_Encrypt(session, plain.data(), plain.size(), out.data(), &length), CKR_OK);
        out.resize(length);
        return out;
    }
};

}  // namespace

TEST_F(CryptoSimTest, MechanismsComeFromTheLibraryWithTheVarkonLimit)
{
    CK_ULONG count = 0;
    ASSERT_EQ(p11->C_GetMechanismList(0, nullptr, &count), CKR_OK);
    ASSERT_EQ(count, 68u);
    std::vector<CK_MECHANISM_TYPE> list(count);
    ASSERT_EQ(p11->C_GetMechanismList(0, list.data(), &count), CKR_OK);
    EXPECT_NE(std::find(list.begin(), list.end(), CKM_ECDSA), list.end());

    CK_MECHANISM_INFO vexa{};
    CK_MECHANISM_INFO varkon{};
    ASSERT_EQ(p11->C_GetMechanismInfo(0, CKM_RSA_PKCS_KEY_PAIR_GEN, &vexa), CKR_OK);
    ASSERT_EQ(p11->C_GetMechanismInfo(1, CKM_RSA_PKCS_KEY_PAIR_GEN, &varkon), CKR_OK);
    EXPECT_EQ(vexa.ulMaxKeySize, 4096u);
    EXPECT_EQ(varkon.ulMaxKeySize, 2048u);
}

TEST_F(CryptoSimTest, EcP256KeyPairSignsAndVerifies)
{
    CK_ATTRIBUTE publicTemplate[] = {
        {CKA_EC_PARAMS, kP256, sizeof kP256}, {CKA_TOKEN, &kFalse, sizeof kFalse}, {CKA_VERIFY, &kTrue, sizeof kTrue}};
    CK_ATTRIBUTE privateTemplate[] = {{CKA_TOKEN, &kFalse, sizeof kFalse},
                                      {CKA_PRIVATE, &kTrue, sizeof kTrue},
                                      {CKA_SENSITIVE, &kTrue, sizeof kTrue},
                                      {CKA_SIGN, &kTrue, sizeof kTrue}};
    CK_MECHANISM generate{CKM_EC_KEY_PAIR_GEN, nullptr, 0};
    CK_OBJECT_HANDLE publicKey = CK_INVALID_HANDLE;
    CK_OBJECT_HANDLE privateKey = CK_INVALID_HANDLE;
    ASSERT_EQ(
        p11->C_GenerateKeyPair(session, &generate, publicTemplate, 3, privateTemplate, 4, &publicKey, &privateKey),
        CKR_OK);

    Bytes hash(32, 0x5C);
    CK_MECHANISM ecdsa{CKM_ECDSA, nullptr, 0};
    ASSERT_EQ(p11->C_SignInit(session, &ecdsa, privateKey), CKR_OK);
    CK_ULONG length = 0;
    ASSERT_EQ(p11->C_Sign(session, hash.data(), hash.size(), nullptr, &length), CKR_OK);
    Bytes signature(length);
    ASSERT_EQ(p11->C_Sign(session, hash.data(), hash.size(), signature.data(), &length), CKR_OK);
    ASSERT_EQ(length, 64u) << "the token's length, not the announced room";
    signature.resize(length);

    ASSERT_EQ(p11->C_VerifyInit(session, &ecdsa, publicKey), CKR_OK);
    EXPECT_EQ(p11->C_Verify(session, hash.data(), hash.size(), signature.data(), signature.size()), CKR_OK);
    signature[10] ^= 0x01;
    ASSERT_EQ(p11->C_VerifyInit(session, &ecdsa, publicKey), CKR_OK);
    EXPECT_EQ(p11->C_Verify(session, hash.data(), hash.size(), signature.data(), signature.size()),
              CKR_SIGNATURE_INVALID);
}

TEST_F(CryptoSimTest, AesCbcEncryptsAndDecryptsInOneAndInSeveralParts)
{
    const CK_OBJECT_HANDLE key = aesKey();
    ASSERT_NE(key, CK_INVALID_HANDLE);
    Bytes iv(16, 0x1F);
    CK_MECHANISM cbc{CKM_AES_CBC, iv.data(), iv.size()};
    Bytes plain(48);
    for (size_t i = 0; i < plain.size(); ++i) {
        plain[i] = static_cast<CK_BYTE>(i);
    }
    const Bytes cipher = encrypt(cbc, key, plain);
    ASSERT_EQ(cipher.size(), 48u);
    EXPECT_NE(cipher, plain);

    // 20 + 28 bytes: the first update holds back 4, the second releases 32.
    ASSERT_EQ(p11->C_EncryptInit(session, &cbc, key), CKR_OK);
    Bytes parts(64);
    CK_ULONG first = parts.size();
    ASSERT_EQ(p11->C_EncryptUpdate(session, plain.data(), 20, parts.data(), &first), CKR_OK);
    CK_ULONG second = parts.size() - first;
    ASSERT_EQ(p11->C_EncryptUpdate(session, plain.data() + 20, 28, parts.data() + first, &second), CKR_OK);
    CK_ULONG last = parts.size() - first - second;
    ASSERT_EQ(p11->C_EncryptFinal(session, parts.data() + first + second, &last), CKR_OK);
    EXPECT_EQ(first, 16u);
    EXPECT_EQ(second, 32u);
    EXPECT_EQ(last, 0u);
    parts.resize(first + second + last);
    EXPECT_EQ(parts, cipher);

    ASSERT_EQ(p11->C_DecryptInit(session, &cbc, key), CKR_OK);
    Bytes decrypted(cipher.size());
    CK_ULONG length = decrypted.size();
    ASSERT_EQ(p11->C_Decrypt(session, const_cast<CK_BYTE*>(cipher.data()), cipher.size(), decrypted.data(), &length),
              CKR_OK);
    ASSERT_EQ(length, plain.size());
    EXPECT_EQ(decrypted, plain);
}

TEST_F(CryptoSimTest, Sha256OfShortAndChunkedInput)
{
    CK_MECHANISM sha256{CKM_SHA256, nullptr, 0};
    CK_BYTE abc[] = {'a', 'b', 'c'};
    ASSERT_EQ(p11->C_DigestInit(session, &sha256), CKR_OK);
    CK_ULONG length = 0;
    ASSERT_EQ(p11->C_Digest(session, abc, sizeof abc, nullptr, &length), CKR_OK);
    ASSERT_EQ(length, 32u);
    Bytes digest(length);
    ASSERT_EQ(p11->C_Digest(session, abc, sizeof abc, digest.data(), &length), CKR_OK);
    EXPECT_EQ(hex(digest), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

    Bytes message = longMessage();
    ASSERT_EQ(p11->C_DigestInit(session, &sha256), CKR_OK);
    ASSERT_EQ(p11->C_DigestUpdate(session, message.data(), message.size()), CKR_OK);
    length = digest.size();
    ASSERT_EQ(p11->C_DigestFinal(session, digest.data(), &length), CKR_OK);
    EXPECT_EQ(hex(digest), "5fdbad7999f95c40275f7f78002e35ab23614c1782413b116f20d6e3b214b189");
}

TEST_F(CryptoSimTest, HmacOverChunkedUpdatesSignsAndVerifies)
{
    Bytes secret(32);
    for (size_t i = 0; i < secret.size(); ++i) {
        secret[i] = static_cast<CK_BYTE>(i);
    }
    CK_OBJECT_CLASS secretClass = CKO_SECRET_KEY;
    CK_KEY_TYPE generic = CKK_GENERIC_SECRET;
    CK_ATTRIBUTE attributes[] = {{CKA_CLASS, &secretClass, sizeof secretClass},
                                 {CKA_KEY_TYPE, &generic, sizeof generic},
                                 {CKA_TOKEN, &kFalse, sizeof kFalse},
                                 {CKA_VALUE, secret.data(), secret.size()},
                                 {CKA_SIGN, &kTrue, sizeof kTrue},
                                 {CKA_VERIFY, &kTrue, sizeof kTrue}};
    CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
    ASSERT_EQ(p11->C_CreateObject(session, attributes, 6, &key), CKR_OK);

    Bytes message = longMessage();
    CK_MECHANISM hmac{CKM_SHA256_HMAC, nullptr, 0};
    ASSERT_EQ(p11->C_SignInit(session, &hmac, key), CKR_OK);
    ASSERT_EQ(p11->C_SignUpdate(session, message.data(), message.size()), CKR_OK);
    Bytes mac(64);
    CK_ULONG length = mac.size();
    ASSERT_EQ(p11->C_SignFinal(session, mac.data(), &length), CKR_OK);
    mac.resize(length);
    EXPECT_EQ(hex(mac), "399193cce43d29875063768b4edaab0192afdef226dd67c55b90fff6bf8f5c65");

    ASSERT_EQ(p11->C_VerifyInit(session, &hmac, key), CKR_OK);
    ASSERT_EQ(p11->C_VerifyUpdate(session, message.data(), message.size()), CKR_OK);
    EXPECT_EQ(p11->C_VerifyFinal(session, mac.data(), mac.size()), CKR_OK);
}

namespace {

// SoftHSM2 itself in this process, on a token of its own: the results that
// do not depend on a key's randomness must be the same as the token's.
class SoftHsmDirect {
public:
    SoftHsmDirect()
    {
        std::ofstream(m_dir.file("softhsm2.conf"))
            << "directories.tokendir = " << m_dir.path() << "\nobjectstore.backend = file\nlog.level = ERROR\n";
        ::setenv("SOFTHSM2_CONF", m_dir.file("softhsm2.conf").c_str(), 1);
        m_module = dlopen("/usr/lib/softhsm/libsofthsm2.so", RTLD_NOW | RTLD_LOCAL);
        if (m_module == nullptr) {
            throw std::runtime_error(dlerror());
        }
        auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(m_module, "C_GetFunctionList"));
        expect(getList != nullptr && getList(&p11) == CKR_OK, "function list");
        expect(p11->C_Initialize(nullptr) == CKR_OK, "C_Initialize");
        CK_SLOT_ID slot = 0;
        CK_ULONG count = 1;
        expect(p11->C_GetSlotList(CK_FALSE, &slot, &count) == CKR_OK, "C_GetSlotList");
        CK_UTF8CHAR so[] = "12345678";
        CK_UTF8CHAR label[32];
        std::memset(label, ' ', sizeof label);
        expect(p11->C_InitToken(slot, so, 8, label) == CKR_OK, "C_InitToken");
        count = 1;
        expect(p11->C_GetSlotList(CK_TRUE, &slot, &count) == CKR_OK && count == 1, "the token's slot");
        expect(p11->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session) == CKR_OK,
               "C_OpenSession");
        CK_UTF8CHAR pin[] = "123456";
        expect(p11->C_Login(session, CKU_SO, so, 8) == CKR_OK && p11->C_InitPIN(session, pin, 6) == CKR_OK &&
                   p11->C_Logout(session) == CKR_OK && p11->C_Login(session, CKU_USER, pin, 6) == CKR_OK,
               "the user's login");
    }
    ~SoftHsmDirect()
    {
        if (p11 != nullptr) {
            p11->C_Finalize(nullptr);
        }
    }
    SoftHsmDirect(const SoftHsmDirect&) = delete;
    SoftHsmDirect& operator=(const SoftHsmDirect&) = delete;

    CK_FUNCTION_LIST_PTR p11 = nullptr;
    CK_SESSION_HANDLE session = 0;

private:
    static void expect(bool ok, const char* what)
    {
        if (!ok) {
            throw std::runtime_error(std::string("SoftHSM2: ") + what);
        }
    }

    vexa::test::TempDir m_dir{"vexa-softhsm-direct"};
    void* m_module = nullptr;
};

CK_OBJECT_CLASS kSecretClass = CKO_SECRET_KEY;
CK_KEY_TYPE kGenericSecret = CKK_GENERIC_SECRET;
CK_KEY_TYPE kAesType = CKK_AES;

// A session key of known value, made the same way on both.
CK_OBJECT_HANDLE knownKey(CK_FUNCTION_LIST& p11, CK_SESSION_HANDLE session, CK_KEY_TYPE& type, Bytes& value)
{
    // A MAC key signs and verifies, an AES key encrypts and decrypts.
    const bool mac = type == CKK_GENERIC_SECRET;
    CK_ATTRIBUTE attributes[] = {{CKA_CLASS, &kSecretClass, sizeof kSecretClass},
                                 {CKA_KEY_TYPE, &type, sizeof type},
                                 {CKA_TOKEN, &kFalse, sizeof kFalse},
                                 {CKA_VALUE, value.data(), value.size()},
                                 {mac ? CKA_SIGN : CKA_ENCRYPT, &kTrue, sizeof kTrue},
                                 {mac ? CKA_VERIFY : CKA_DECRYPT, &kTrue, sizeof kTrue}};
    CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
    EXPECT_EQ(p11.C_CreateObject(session, attributes, 6, &key), CKR_OK);
    return key;
}

Bytes signOnce(CK_FUNCTION_LIST& p11, CK_SESSION_HANDLE session, CK_MECHANISM& mechanism, CK_OBJECT_HANDLE key,
               Bytes data)
{
    EXPECT_EQ(p11.C_SignInit(session, &mechanism, key), CKR_OK);
    CK_ULONG length = 0;
    EXPECT_EQ(p11.C_Sign(session, data.data(), data.size(), nullptr, &length), CKR_OK);
    Bytes signature(length);
    EXPECT_EQ(p11.C_Sign(session, data.data(), data.size(), signature.data(), &length), CKR_OK);
    signature.resize(length);
    return signature;
}

Bytes encryptOnce(CK_FUNCTION_LIST& p11, CK_SESSION_HANDLE session, CK_MECHANISM& mechanism, CK_OBJECT_HANDLE key,
                  Bytes data)
{
    EXPECT_EQ(p11.C_EncryptInit(session, &mechanism, key), CKR_OK);
    CK_ULONG length = 0;
    EXPECT_EQ(p11.C_Encrypt(session, data.data(), data.size(), nullptr, &length), CKR_OK);
    Bytes out(length);
    EXPECT_EQ(p11.C_Encrypt(session, data.data(), data.size(), out.data(), &length), CKR_OK);
    out.resize(length);
    return out;
}

Bytes digestOnce(CK_FUNCTION_LIST& p11, CK_SESSION_HANDLE session, Bytes data)
{
    CK_MECHANISM sha256{CKM_SHA256, nullptr, 0};
    EXPECT_EQ(p11.C_DigestInit(session, &sha256), CKR_OK);
    Bytes digest(32);
    CK_ULONG length = digest.size();
    EXPECT_EQ(p11.C_Digest(session, data.data(), data.size(), digest.data(), &length), CKR_OK);
    return digest;
}

}  // namespace

// Single-part calls on 4,500 bytes, more than one message holds, succeed as
// on SoftHSM2 directly, and the session goes on with the next operation.
TEST_F(CryptoSimTest, LargeSinglePartCallsMatchSoftHsm)
{
    SoftHsmDirect reference;
    const Bytes message = longMessage();
    Bytes secret(32, 0x2B);
    Bytes aesValue(32, 0x4D);
    const CK_OBJECT_HANDLE hmacKey = knownKey(*p11, session, kGenericSecret, secret);
    const CK_OBJECT_HANDLE aesKey = knownKey(*p11, session, kAesType, aesValue);
    const CK_OBJECT_HANDLE refHmac = knownKey(*reference.p11, reference.session, kGenericSecret, secret);
    const CK_OBJECT_HANDLE refAes = knownKey(*reference.p11, reference.session, kAesType, aesValue);

    CK_MECHANISM hmac{CKM_SHA256_HMAC, nullptr, 0};
    const Bytes mac = signOnce(*p11, session, hmac, hmacKey, message);
    EXPECT_EQ(hex(mac), hex(signOnce(*reference.p11, reference.session, hmac, refHmac, message)));
    ASSERT_EQ(p11->C_VerifyInit(session, &hmac, hmacKey), CKR_OK);
    EXPECT_EQ(p11->C_Verify(session, const_cast<CK_BYTE*>(message.data()), message.size(),
                            const_cast<CK_BYTE*>(mac.data()), mac.size()),
              CKR_OK);
    Bytes wrongMac = mac;
    wrongMac[0] ^= 1;
    ASSERT_EQ(p11->C_VerifyInit(session, &hmac, hmacKey), CKR_OK);
    EXPECT_EQ(
        p11->C_Verify(session, const_cast<CK_BYTE*>(message.data()), message.size(), wrongMac.data(), wrongMac.size()),
        CKR_SIGNATURE_INVALID);

    Bytes iv(16, 0x1F);
    CK_MECHANISM cbcPad{CKM_AES_CBC_PAD, iv.data(), iv.size()};
    const Bytes cipher = encryptOnce(*p11, session, cbcPad, aesKey, message);
    ASSERT_EQ(cipher.size(), 4512u);
    EXPECT_EQ(cipher, encryptOnce(*reference.p11, reference.session, cbcPad, refAes, message));
    ASSERT_EQ(p11->C_DecryptInit(session, &cbcPad, aesKey), CKR_OK);
    Bytes plain(cipher.size());
    CK_ULONG length = 16;
    EXPECT_EQ(p11->C_Decrypt(session, const_cast<CK_BYTE*>(cipher.data()), cipher.size(), plain.data(), &length),
              CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 4500u);
    length = plain.size();
    ASSERT_EQ(p11->C_Decrypt(session, const_cast<CK_BYTE*>(cipher.data()), cipher.size(), plain.data(), &length),
              CKR_OK);
    plain.resize(length);
    EXPECT_EQ(plain, message);

    EXPECT_EQ(hex(digestOnce(*p11, session, message)), hex(digestOnce(*reference.p11, reference.session, message)));

    // The session's next operations of every family are ordinary ones.
    EXPECT_EQ(signOnce(*p11, session, hmac, hmacKey, Bytes{'a', 'b', 'c'}).size(), 32u);
    EXPECT_EQ(encryptOnce(*p11, session, cbcPad, aesKey, Bytes(16, 1)).size(), 32u);
    EXPECT_EQ(digestOnce(*p11, session, Bytes{'a', 'b', 'c'}).size(), 32u);
}

// A signature whose mechanism hashes as it goes (SHA256-RSA-PKCS, RSA 2048):
// 4,500 bytes signed and verified; one that takes a single block (RSA-PKCS)
// refuses them, which ends the operation on the token too.
TEST_F(CryptoSimTest, LargeDataWithAndWithoutAMechanismThatRunsInParts)
{
    CK_ULONG bits = 2048;
    CK_BYTE exponent[] = {1, 0, 1};
    CK_ATTRIBUTE publicTemplate[] = {{CKA_MODULUS_BITS, &bits, sizeof bits},
                                     {CKA_PUBLIC_EXPONENT, exponent, sizeof exponent},
                                     {CKA_TOKEN, &kFalse, sizeof kFalse},
                                     {CKA_VERIFY, &kTrue, sizeof kTrue},
                                     {CKA_ENCRYPT, &kTrue, sizeof kTrue}};
    CK_ATTRIBUTE privateTemplate[] = {{CKA_TOKEN, &kFalse, sizeof kFalse}, {CKA_SIGN, &kTrue, sizeof kTrue}};
    CK_MECHANISM generate{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_OBJECT_HANDLE publicKey = CK_INVALID_HANDLE;
    CK_OBJECT_HANDLE privateKey = CK_INVALID_HANDLE;
    ASSERT_EQ(
        p11->C_GenerateKeyPair(session, &generate, publicTemplate, 5, privateTemplate, 2, &publicKey, &privateKey),
        CKR_OK);
    Bytes message = longMessage();

    CK_MECHANISM sha256Rsa{CKM_SHA256_RSA_PKCS, nullptr, 0};
    const Bytes signature = signOnce(*p11, session, sha256Rsa, privateKey, message);
    ASSERT_EQ(signature.size(), 256u);
    ASSERT_EQ(p11->C_VerifyInit(session, &sha256Rsa, publicKey), CKR_OK);
    EXPECT_EQ(p11->C_Verify(session, message.data(), message.size(), const_cast<CK_BYTE*>(signature.data()),
                            signature.size()),
              CKR_OK);

    CK_MECHANISM rsaPkcs{CKM_RSA_PKCS, nullptr, 0};
    Bytes out(512);
    CK_ULONG length = out.size();
    ASSERT_EQ(p11->C_SignInit(session, &rsaPkcs, privateKey), CKR_OK);
    EXPECT_EQ(p11->C_Sign(session, message.data(), message.size(), out.data(), &length), CKR_DATA_LEN_RANGE);
    EXPECT_EQ(signOnce(*p11, session, rsaPkcs, privateKey, Bytes(32, 3)).size(), 256u);
    ASSERT_EQ(p11->C_EncryptInit(session, &rsaPkcs, publicKey), CKR_OK);
    length = out.size();
    EXPECT_EQ(p11->C_Encrypt(session, message.data(), message.size(), out.data(), &length), CKR_DATA_LEN_RANGE);
    EXPECT_EQ(encryptOnce(*p11, session, rsaPkcs, publicKey, Bytes(32, 3)).size(), 256u);
    Bytes hash(32, 3);
    Bytes small = signOnce(*p11, session, rsaPkcs, privateKey, hash);
    ASSERT_EQ(p11->C_VerifyInit(session, &rsaPkcs, publicKey), CKR_OK);
    EXPECT_EQ(p11->C_Verify(session, message.data(), message.size(), small.data(), small.size()), CKR_DATA_LEN_RANGE);
    ASSERT_EQ(p11->C_VerifyInit(session, &rsaPkcs, publicKey), CKR_OK);
    EXPECT_EQ(p11->C_Verify(session, hash.data(), hash.size(), small.data(), small.size()), CKR_OK);
}

// C_SignFinal with a buffer too small gets CKR_BUFFER_TOO_SMALL and the
// length, and the operation goes on; a length query without an operation
// gets the token's answer.
TEST_F(CryptoSimTest, SignFinalBufferTooSmallKeepsTheOperation)
{
    Bytes secret(32, 0x2B);
    const CK_OBJECT_HANDLE key = knownKey(*p11, session, kGenericSecret, secret);
    CK_ULONG length = 0;
    EXPECT_EQ(p11->C_SignFinal(session, nullptr, &length), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(p11->C_SignFinal(session + 1, nullptr, &length), CKR_SESSION_HANDLE_INVALID);

    CK_MECHANISM hmac{CKM_SHA256_HMAC, nullptr, 0};
    CK_BYTE abc[] = {'a', 'b', 'c'};
    ASSERT_EQ(p11->C_SignInit(session, &hmac, key), CKR_OK);
    ASSERT_EQ(p11->C_SignUpdate(session, abc, sizeof abc), CKR_OK);
    Bytes mac(16);
    length = mac.size();
    EXPECT_EQ(p11->C_SignFinal(session, mac.data(), &length), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 32u);
    mac.resize(length);
    EXPECT_EQ(p11->C_SignFinal(session, mac.data(), &length), CKR_OK);
    EXPECT_EQ(mac, signOnce(*p11, session, hmac, key, Bytes(abc, abc + sizeof abc)));
    EXPECT_EQ(p11->C_SignFinal(session, nullptr, &length), CKR_OPERATION_NOT_INITIALIZED);
}

// Updates of 4,500 bytes go in parts too; what they give out is what the
// single-part call gives, and a caller short of room gets it on the next call.
TEST_F(CryptoSimTest, LargeUpdatesGoInParts)
{
    Bytes aesValue(32, 0x4D);
    const CK_OBJECT_HANDLE key = knownKey(*p11, session, kAesType, aesValue);
    Bytes iv(16, 0x1F);
    CK_MECHANISM cbcPad{CKM_AES_CBC_PAD, iv.data(), iv.size()};
    Bytes message = longMessage();
    const Bytes whole = encryptOnce(*p11, session, cbcPad, key, message);

    ASSERT_EQ(p11->C_EncryptInit(session, &cbcPad, key), CKR_OK);
    Bytes parts(whole.size());
    CK_ULONG first = 100;
    ASSERT_EQ(p11->C_EncryptUpdate(session, message.data(), message.size(), parts.data(), &first),
              CKR_BUFFER_TOO_SMALL);
    ASSERT_EQ(first, 4496u);
    ASSERT_EQ(p11->C_EncryptUpdate(session, message.data(), message.size(), parts.data(), &first), CKR_OK);
    CK_ULONG last = parts.size() - first;
    ASSERT_EQ(p11->C_EncryptFinal(session, parts.data() + first, &last), CKR_OK);
    parts.resize(first + last);
    EXPECT_EQ(parts, whole);

    ASSERT_EQ(p11->C_DecryptInit(session, &cbcPad, key), CKR_OK);
    Bytes plain(whole.size());
    CK_ULONG got = plain.size();
    ASSERT_EQ(p11->C_DecryptUpdate(session, parts.data(), parts.size(), plain.data(), &got), CKR_OK);
    CK_ULONG rest = plain.size() - got;
    ASSERT_EQ(p11->C_DecryptFinal(session, plain.data() + got, &rest), CKR_OK);
    plain.resize(got + rest);
    EXPECT_EQ(plain, message);
}
