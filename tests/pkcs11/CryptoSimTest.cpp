// Mechanisms and cryptographic operations through libvexa-pkcs11.so as
// applications load it, on tokens of vexa-token-sim reached over HID. Run by
// ctest under the simulator (see CMakeLists.txt): slot 0 is a Vexa, slot 1 a
// Varkon.
#include <gtest/gtest.h>
#include <p11-kit/pkcs11.h>

#include <algorithm>
#include <string>
#include <vector>

#include "HexText.h"
#include "ModuleSession.h"

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
