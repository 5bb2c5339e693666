// The mechanisms whose parameters or results hold more than bytes (RSA-PSS,
// hashing ECDSA, AES-GCM, the ENCRYPT_DATA derivations) and the array
// attributes, through libvexa-pkcs11.so on a token of vexa-token-sim; each
// result is checked with OpenSSL, which shares no code with the token. Run
// by ctest under the simulator (see CMakeLists.txt).
#include <gtest/gtest.h>
#include <p11-kit/pkcs11.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ModuleSession.h"
#include "OpenSslCheck.h"

namespace {

namespace ossl = vexa::test::openssl;
using Bytes = std::vector<CK_BYTE>;

CK_BYTE kP256[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
CK_BBOOL kTrue = CK_TRUE;
CK_BBOOL kFalse = CK_FALSE;
CK_OBJECT_CLASS kSecret = CKO_SECRET_KEY;

Bytes pattern(size_t length, uint8_t seed)
{
    Bytes b(length);
    for (size_t i = 0; i < length; ++i) {
        b[i] = static_cast<uint8_t>(seed + i * 13);
    }
    return b;
}

class MechanismSimTest : public vexa::test::ModuleSessionTest {
protected:
    MechanismSimTest() : ModuleSessionTest(1) {}

    Bytes attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type)
    {
        CK_ATTRIBUTE a{type, nullptr, 0};
        EXPECT_EQ(p11->C_GetAttributeValue(session, object, &a, 1), CKR_OK);
        Bytes value(a.ulValueLen);
        a.pValue = value.data();
        EXPECT_EQ(p11->C_GetAttributeValue(session, object, &a, 1), CKR_OK);
        value.resize(a.ulValueLen);
        return value;
    }

    // A session secret key of this type and value, readable back.
    CK_OBJECT_HANDLE secretKey(CK_KEY_TYPE type, Bytes value, std::vector<CK_ATTRIBUTE> extra = {})
    {
        std::vector<CK_ATTRIBUTE> t = {{CKA_CLASS, &kSecret, sizeof kSecret},   {CKA_KEY_TYPE, &type, sizeof type},
                                       {CKA_TOKEN, &kFalse, sizeof kFalse},     {CKA_SENSITIVE, &kFalse, sizeof kFalse},
                                       {CKA_EXTRACTABLE, &kTrue, sizeof kTrue}, {CKA_ENCRYPT, &kTrue, sizeof kTrue},
                                       {CKA_DECRYPT, &kTrue, sizeof kTrue},     {CKA_DERIVE, &kTrue, sizeof kTrue},
                                       {CKA_VALUE, value.data(), value.size()}};
        t.insert(t.end(), extra.begin(), extra.end());
        CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
        EXPECT_EQ(p11->C_CreateObject(session, t.data(), t.size(), &key), CKR_OK);
        return key;
    }

    Bytes sign(CK_MECHANISM& mechanism, CK_OBJECT_HANDLE key, const Bytes& data)
    {
        EXPECT_EQ(p11->C_SignInit(session, &mechanism, key), CKR_OK);
        CK_ULONG length = 0;
        EXPECT_EQ(p11->C_Sign(session, const_cast<CK_BYTE_PTR>(data.data()), data.size(), nullptr, &length), CKR_OK);
        Bytes signature(length);
        EXPECT_EQ(p11->C_Sign(session, const_cast<CK_BYTE_PTR>(data.data()), data.size(), signature.data(), &length),
                  CKR_OK);
        signature.resize(length);
        return signature;
    }

    // The single-part call of the init's operation: a length query, then the bytes.
    CK_RV crypt(bool encrypt, CK_MECHANISM& mechanism, CK_OBJECT_HANDLE key, const Bytes& in, Bytes& out)
    {
        const auto init = encrypt ? p11->C_EncryptInit : p11->C_DecryptInit;
        const auto run = encrypt ? p11->C_Encrypt : p11->C_Decrypt;
        if (CK_RV rv = init(session, &mechanism, key); rv != CKR_OK) {
            return rv;
        }
        CK_BYTE none = 0;
        CK_BYTE_PTR data = in.empty() ? &none : const_cast<CK_BYTE_PTR>(in.data());
        CK_ULONG length = 0;
        if (CK_RV rv = run(session, data, in.size(), nullptr, &length); rv != CKR_OK) {
            return rv;
        }
        out.assign(length, 0);
        CK_RV rv = run(session, data, in.size(), out.data(), &length);
        out.resize(rv == CKR_OK ? length : 0);
        return rv;
    }

    void generatePair(CK_MECHANISM_TYPE type, std::vector<CK_ATTRIBUTE> publicTemplate, CK_OBJECT_HANDLE& publicKey,
                      CK_OBJECT_HANDLE& privateKey)
    {
        publicTemplate.push_back({CKA_TOKEN, &kFalse, sizeof kFalse});
        publicTemplate.push_back({CKA_VERIFY, &kTrue, sizeof kTrue});
        CK_ATTRIBUTE privateTemplate[] = {{CKA_TOKEN, &kFalse, sizeof kFalse},
                                          {CKA_PRIVATE, &kTrue, sizeof kTrue},
                                          {CKA_SENSITIVE, &kTrue, sizeof kTrue},
                                          {CKA_SIGN, &kTrue, sizeof kTrue}};
        CK_MECHANISM generate{type, nullptr, 0};
        ASSERT_EQ(p11->C_GenerateKeyPair(session, &generate, publicTemplate.data(), publicTemplate.size(),
                                         privateTemplate, 4, &publicKey, &privateKey),
                  CKR_OK);
    }
};

struct PssCase {
    CK_MECHANISM_TYPE hash;
    CK_RSA_PKCS_MGF_TYPE mgf;
    const char* name;
    CK_ULONG saltLength;
};

TEST_F(MechanismSimTest, RawRsaPssSignaturesVerifyWithOpenSsl)
{
    CK_ULONG bits = 2048;
    CK_OBJECT_HANDLE publicKey = 0, privateKey = 0;
    generatePair(CKM_RSA_PKCS_KEY_PAIR_GEN, {{CKA_MODULUS_BITS, &bits, sizeof bits}}, publicKey, privateKey);
    const Bytes modulus = attribute(publicKey, CKA_MODULUS);
    const Bytes exponent = attribute(publicKey, CKA_PUBLIC_EXPONENT);
    const PssCase cases[] = {{CKM_SHA256, CKG_MGF1_SHA256, "sha256", 32},
                             {CKM_SHA384, CKG_MGF1_SHA384, "sha384", 0},
                             {CKM_SHA512, CKG_MGF1_SHA512, "sha512", 64}};
    for (const PssCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes digest = ossl::digest(c.name, pattern(100, 7));
        CK_RSA_PKCS_PSS_PARAMS params{c.hash, c.mgf, c.saltLength};
        CK_MECHANISM pss{CKM_RSA_PKCS_PSS, &params, sizeof params};
        Bytes signature = sign(pss, privateKey, digest);
        ASSERT_EQ(signature.size(), 256u);
        EXPECT_TRUE(ossl::verifyRsaPss(modulus, exponent, c.name, c.saltLength, digest, signature));
        ASSERT_EQ(p11->C_VerifyInit(session, &pss, publicKey), CKR_OK);
        EXPECT_EQ(p11->C_Verify(session, const_cast<CK_BYTE_PTR>(digest.data()), digest.size(), signature.data(),
                                signature.size()),
                  CKR_OK);
        signature[5] ^= 1;
        EXPECT_FALSE(ossl::verifyRsaPss(modulus, exponent, c.name, c.saltLength, digest, signature));
    }
    // The input of raw PSS is the hash itself: one of another length is refused.
    CK_RSA_PKCS_PSS_PARAMS params{CKM_SHA256, CKG_MGF1_SHA256, 32};
    CK_MECHANISM pss{CKM_RSA_PKCS_PSS, &params, sizeof params};
    ASSERT_EQ(p11->C_SignInit(session, &pss, privateKey), CKR_OK);
    Bytes shortDigest(20, 1);
    CK_ULONG length = 512;
    Bytes signature(length);
    EXPECT_EQ(p11->C_Sign(session, shortDigest.data(), shortDigest.size(), signature.data(), &length),
              CKR_DATA_LEN_RANGE);
}

TEST_F(MechanismSimTest, HashingEcdsaSignaturesVerifyWithOpenSslInOneAndInSeveralParts)
{
    CK_OBJECT_HANDLE publicKey = 0, privateKey = 0;
    generatePair(CKM_EC_KEY_PAIR_GEN, {{CKA_EC_PARAMS, kP256, sizeof kP256}}, publicKey, privateKey);
    // CKA_EC_POINT is a DER OCTET STRING around the 65-byte point.
    const Bytes encoded = attribute(publicKey, CKA_EC_POINT);
    ASSERT_EQ(encoded.size(), 67u);
    const Bytes point(encoded.begin() + 2, encoded.end());
    const Bytes message = pattern(4500, 3);       // three update chunks
    const Bytes shortMessage = pattern(1000, 9);  // one request holds it

    const std::pair<CK_MECHANISM_TYPE, const char*> hashes[] = {{CKM_ECDSA_SHA1, "sha1"},
                                                                {CKM_ECDSA_SHA224, "sha224"},
                                                                {CKM_ECDSA_SHA256, "sha256"},
                                                                {CKM_ECDSA_SHA384, "sha384"},
                                                                {CKM_ECDSA_SHA512, "sha512"}};
    for (const auto& [type, name] : hashes) {
        SCOPED_TRACE(name);
        CK_MECHANISM mechanism{type, nullptr, 0};
        const Bytes single = sign(mechanism, privateKey, shortMessage);
        ASSERT_EQ(single.size(), 64u);
        EXPECT_TRUE(ossl::verifyEcdsaP256(point, name, shortMessage, single));
        EXPECT_TRUE(ossl::verifyEcdsaP256(point, name, message, sign(mechanism, privateKey, message)))
            << "one call on more than one message holds";

        ASSERT_EQ(p11->C_SignInit(session, &mechanism, privateKey), CKR_OK);
        ASSERT_EQ(p11->C_SignUpdate(session, const_cast<CK_BYTE_PTR>(message.data()), 1000), CKR_OK);
        ASSERT_EQ(p11->C_SignUpdate(session, const_cast<CK_BYTE_PTR>(message.data()) + 1000, message.size() - 1000),
                  CKR_OK);
        CK_ULONG length = 0;
        ASSERT_EQ(p11->C_SignFinal(session, nullptr, &length), CKR_OK);
        Bytes parts(length);
        ASSERT_EQ(p11->C_SignFinal(session, parts.data(), &length), CKR_OK);
        parts.resize(length);
        EXPECT_TRUE(ossl::verifyEcdsaP256(point, name, message, parts));

        ASSERT_EQ(p11->C_VerifyInit(session, &mechanism, publicKey), CKR_OK);
        EXPECT_EQ(p11->C_Verify(session, const_cast<CK_BYTE_PTR>(shortMessage.data()), shortMessage.size(),
                                const_cast<CK_BYTE_PTR>(single.data()), single.size()),
                  CKR_OK);
        ASSERT_EQ(p11->C_VerifyInit(session, &mechanism, publicKey), CKR_OK);
        ASSERT_EQ(p11->C_VerifyUpdate(session, const_cast<CK_BYTE_PTR>(message.data()), message.size()), CKR_OK);
        EXPECT_EQ(p11->C_VerifyFinal(session, parts.data(), parts.size()), CKR_OK);
        ASSERT_EQ(p11->C_VerifyInit(session, &mechanism, publicKey), CKR_OK);
        ASSERT_EQ(p11->C_VerifyUpdate(session, const_cast<CK_BYTE_PTR>(message.data()), message.size() - 1), CKR_OK);
        EXPECT_EQ(p11->C_VerifyFinal(session, parts.data(), parts.size()), CKR_SIGNATURE_INVALID)
            << "one byte short of the message";
    }
    // After a completed signature the operation is over, and so it is after
    // a signature of the wrong length.
    CK_BYTE more = 0;
    EXPECT_EQ(p11->C_SignUpdate(session, &more, 1), CKR_OPERATION_NOT_INITIALIZED);
    CK_MECHANISM sha256{CKM_ECDSA_SHA256, nullptr, 0};
    ASSERT_EQ(p11->C_VerifyInit(session, &sha256, publicKey), CKR_OK);
    ASSERT_EQ(p11->C_VerifyUpdate(session, &more, 1), CKR_OK);
    CK_BYTE shortSignature[10] = {};
    EXPECT_EQ(p11->C_VerifyFinal(session, shortSignature, sizeof shortSignature), CKR_SIGNATURE_LEN_RANGE);
    EXPECT_EQ(p11->C_VerifyUpdate(session, &more, 1), CKR_OPERATION_NOT_INITIALIZED);
}

struct GcmCase {
    const char* name;
    size_t aadLength;
    size_t ivLength;
    CK_ULONG tagBits;
    size_t plainLength;
};

TEST_F(MechanismSimTest, AesGcmMatchesOpenSslBothWaysAndRefusesATamperedTag)
{
    const Bytes value = pattern(32, 0x40);
    const CK_OBJECT_HANDLE key = secretKey(CKK_AES, value);
    const GcmCase cases[] = {
        {"no additional data", 0, 12, 128, 64},
        {"with additional data", 20, 12, 128, 33},
        {"short tag, long IV, empty text", 7, 16, 96, 0},
        {"more text than one message holds", 20, 12, 128, 4500},
    };
    for (const GcmCase& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes iv = pattern(c.ivLength, 0x11);
        Bytes aad = pattern(c.aadLength, 0x22);
        const Bytes plain = pattern(c.plainLength, 0x33);
        const size_t tagBytes = c.tagBits / 8;
        CK_GCM_PARAMS params{iv.data(),  iv.size(), iv.size() * 8, aad.empty() ? nullptr : aad.data(),
                             aad.size(), c.tagBits};
        CK_MECHANISM gcm{CKM_AES_GCM, &params, sizeof params};

        Bytes sealed;
        ASSERT_EQ(crypt(true, gcm, key, plain, sealed), CKR_OK);
        EXPECT_EQ(sealed.size(), plain.size() + tagBytes);
        Bytes opened;
        ASSERT_TRUE(ossl::gcmOpen(value, iv, aad, tagBytes, sealed, opened)) << "the token's tag authenticates";
        EXPECT_EQ(opened, plain);

        const Bytes theirs = ossl::gcmSeal(value, iv, aad, tagBytes, plain);
        EXPECT_EQ(theirs, sealed) << "one key, IV and text: one ciphertext";
        Bytes decrypted;
        if (plain.size() > 2000) {
            // Its text would come back in one reply, which cannot hold it.
            EXPECT_EQ(crypt(false, gcm, key, theirs, decrypted), CKR_DATA_LEN_RANGE);
            continue;
        }
        ASSERT_EQ(crypt(false, gcm, key, theirs, decrypted), CKR_OK);
        EXPECT_EQ(decrypted, plain);

        Bytes tampered = theirs;
        tampered.back() ^= 0x80;
        EXPECT_EQ(crypt(false, gcm, key, tampered, decrypted), CKR_ENCRYPTED_DATA_INVALID);
        if (!aad.empty()) {
            aad[0] ^= 1;
            EXPECT_EQ(crypt(false, gcm, key, theirs, decrypted), CKR_ENCRYPTED_DATA_INVALID) << "other additional data";
        }
    }
}

TEST_F(MechanismSimTest, AesGcmParameterIsCheckedBeforeItTravels)
{
    const CK_OBJECT_HANDLE key = secretKey(CKK_AES, pattern(16, 1));
    Bytes iv(12, 7);
    CK_GCM_PARAMS noIv{nullptr, 0, 0, nullptr, 0, 128};
    CK_MECHANISM gcm{CKM_AES_GCM, &noIv, sizeof noIv};
    EXPECT_EQ(p11->C_EncryptInit(session, &gcm, key), CKR_MECHANISM_PARAM_INVALID);
    CK_GCM_PARAMS longTag{iv.data(), iv.size(), 96, nullptr, 0, 136};
    gcm.pParameter = &longTag;
    EXPECT_EQ(p11->C_EncryptInit(session, &gcm, key), CKR_MECHANISM_PARAM_INVALID) << "the token's answer";
    gcm.ulParameterLen = sizeof longTag - 8;
    EXPECT_EQ(p11->C_EncryptInit(session, &gcm, key), CKR_MECHANISM_PARAM_INVALID);
}

struct DerivationCase {
    const char* name;
    CK_MECHANISM_TYPE mechanism;
    CK_KEY_TYPE baseType;
    size_t baseLength;
    size_t ivLength;  // 0: ECB
    const char* cipher;
    CK_KEY_TYPE derivedType;
    size_t dataLength;
};

TEST_F(MechanismSimTest, EncryptDataDerivationsGiveTheKeyOpenSslComputes)
{
    const DerivationCase cases[] = {
        {"DES3 ECB", CKM_DES3_ECB_ENCRYPT_DATA, CKK_DES3, 24, 0, "des-ede3-ecb", CKK_DES3, 24},
        {"DES3 CBC", CKM_DES3_CBC_ENCRYPT_DATA, CKK_DES3, 24, 8, "des-ede3-cbc", CKK_GENERIC_SECRET, 16},
        {"AES ECB", CKM_AES_ECB_ENCRYPT_DATA, CKK_AES, 16, 0, "aes-128-ecb", CKK_AES, 32},
        {"AES CBC", CKM_AES_CBC_ENCRYPT_DATA, CKK_AES, 32, 16, "aes-256-cbc", CKK_AES, 16},
    };
    for (const DerivationCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes baseValue = pattern(c.baseLength, 0x51);
        const CK_OBJECT_HANDLE base = secretKey(c.baseType, baseValue);
        Bytes data = pattern(c.dataLength, 0x61);
        Bytes iv = pattern(c.ivLength, 0x71);
        CK_KEY_DERIVATION_STRING_DATA ecb{data.data(), data.size()};
        CK_DES_CBC_ENCRYPT_DATA_PARAMS desCbc{};
        CK_AES_CBC_ENCRYPT_DATA_PARAMS aesCbc{};
        CK_MECHANISM mechanism{c.mechanism, &ecb, sizeof ecb};
        if (c.ivLength == 8) {
            std::copy(iv.begin(), iv.end(), desCbc.iv);
            desCbc.pData = data.data();
            desCbc.length = data.size();
            mechanism = {c.mechanism, &desCbc, sizeof desCbc};
        } else if (c.ivLength == 16) {
            std::copy(iv.begin(), iv.end(), aesCbc.iv);
            aesCbc.pData = data.data();
            aesCbc.length = data.size();
            mechanism = {c.mechanism, &aesCbc, sizeof aesCbc};
        }
        CK_KEY_TYPE derivedType = c.derivedType;
        CK_ULONG derivedLength = c.dataLength;
        std::vector<CK_ATTRIBUTE> derivedTemplate = {{CKA_CLASS, &kSecret, sizeof kSecret},
                                                     {CKA_KEY_TYPE, &derivedType, sizeof derivedType},
                                                     {CKA_TOKEN, &kFalse, sizeof kFalse},
                                                     {CKA_SENSITIVE, &kFalse, sizeof kFalse},
                                                     {CKA_EXTRACTABLE, &kTrue, sizeof kTrue}};
        if (derivedType != CKK_DES3) {
            derivedTemplate.push_back({CKA_VALUE_LEN, &derivedLength, sizeof derivedLength});
        }
        CK_OBJECT_HANDLE derived = CK_INVALID_HANDLE;
        ASSERT_EQ(p11->C_DeriveKey(session, &mechanism, base, derivedTemplate.data(), derivedTemplate.size(), &derived),
                  CKR_OK);
        const Bytes expected = ossl::encryptBlocks(c.cipher, baseValue, iv, data);
        ASSERT_EQ(expected.size(), data.size());
        Bytes value = attribute(derived, CKA_VALUE);
        if (derivedType == CKK_DES3) {
            // DES keys carry odd parity in the low bit of each byte.
            for (size_t i = 0; i < value.size(); ++i) {
                EXPECT_EQ(value[i] & 0xFE, expected[i] & 0xFE) << i;
            }
        } else {
            EXPECT_EQ(value, expected);
        }
    }
}

TEST_F(MechanismSimTest, EncryptDataParameterWithoutDataIsRefusedBeforeItTravels)
{
    const CK_OBJECT_HANDLE base = secretKey(CKK_AES, pattern(16, 2));
    CK_KEY_DERIVATION_STRING_DATA empty{nullptr, 16};
    CK_MECHANISM mechanism{CKM_AES_ECB_ENCRYPT_DATA, &empty, sizeof empty};
    CK_ATTRIBUTE derivedTemplate[] = {{CKA_TOKEN, &kFalse, sizeof kFalse}};
    CK_OBJECT_HANDLE derived = CK_INVALID_HANDLE;
    EXPECT_EQ(p11->C_DeriveKey(session, &mechanism, base, derivedTemplate, 1, &derived), CKR_MECHANISM_PARAM_INVALID);
    mechanism.ulParameterLen = 8;
    EXPECT_EQ(p11->C_DeriveKey(session, &mechanism, base, derivedTemplate, 1, &derived), CKR_MECHANISM_PARAM_INVALID);
}

TEST_F(MechanismSimTest, AllowedMechanismsReadBackExactlyAndBindTheKey)
{
    const std::vector<std::vector<CK_MECHANISM_TYPE>> lists = {
        {CKM_AES_ECB}, {CKM_AES_ECB, CKM_AES_CBC}, {CKM_AES_ECB, CKM_AES_CBC, CKM_AES_GCM}};
    for (const auto& list : lists) {
        SCOPED_TRACE(list.size());
        std::vector<CK_MECHANISM_TYPE> allowed = list;
        const CK_OBJECT_HANDLE key =
            secretKey(CKK_AES, pattern(16, 3),
                      {{CKA_ALLOWED_MECHANISMS, allowed.data(), allowed.size() * sizeof(CK_MECHANISM_TYPE)}});
        ASSERT_NE(key, CK_INVALID_HANDLE);

        CK_ATTRIBUTE query{CKA_ALLOWED_MECHANISMS, nullptr, 0};
        ASSERT_EQ(p11->C_GetAttributeValue(session, key, &query, 1), CKR_OK);
        EXPECT_EQ(query.ulValueLen, list.size() * sizeof(CK_MECHANISM_TYPE));
        std::vector<CK_MECHANISM_TYPE> back(list.size() + 1, 0xEEEE);
        query.pValue = back.data();
        query.ulValueLen = back.size() * sizeof(CK_MECHANISM_TYPE);
        ASSERT_EQ(p11->C_GetAttributeValue(session, key, &query, 1), CKR_OK);
        EXPECT_EQ(query.ulValueLen, list.size() * sizeof(CK_MECHANISM_TYPE));
        EXPECT_EQ(std::vector<CK_MECHANISM_TYPE>(back.begin(), back.begin() + list.size()), list);
        EXPECT_EQ(back.back(), 0xEEEEu) << "nothing written past the list";
        query.ulValueLen = (list.size() - 1) * sizeof(CK_MECHANISM_TYPE);
        EXPECT_EQ(p11->C_GetAttributeValue(session, key, &query, 1), CKR_BUFFER_TOO_SMALL);

        CK_MECHANISM ecb{CKM_AES_ECB, nullptr, 0};
        Bytes out;
        ASSERT_EQ(crypt(true, ecb, key, pattern(16, 4), out), CKR_OK);
        Bytes iv(16, 0);
        CK_MECHANISM cbcPad{CKM_AES_CBC_PAD, iv.data(), iv.size()};
        EXPECT_EQ(p11->C_EncryptInit(session, &cbcPad, key), CKR_MECHANISM_INVALID) << "not in the list";
    }
}

TEST_F(MechanismSimTest, TemplateAttributesTravelMemberByMember)
{
    CK_OBJECT_CLASS cls = CKO_SECRET_KEY;
    CK_KEY_TYPE type = CKK_AES;
    CK_BYTE label[] = {'w', 'r', 'a', 'p', 'p', 'e', 'd'};
    CK_ATTRIBUTE wrapTemplate[] = {{CKA_CLASS, &cls, sizeof cls},
                                   {CKA_KEY_TYPE, &type, sizeof type},
                                   {CKA_EXTRACTABLE, &kTrue, sizeof kTrue},
                                   {CKA_LABEL, label, sizeof label}};
    CK_ATTRIBUTE noMembers[1] = {};
    const CK_OBJECT_HANDLE key = secretKey(CKK_AES, pattern(16, 5),
                                           {{CKA_WRAP, &kTrue, sizeof kTrue},
                                            {CKA_WRAP_TEMPLATE, wrapTemplate, sizeof wrapTemplate},
                                            {CKA_UNWRAP_TEMPLATE, noMembers, 0}});
    ASSERT_NE(key, CK_INVALID_HANDLE);

    // The size, then the records with their types and sizes, then the values.
    CK_ATTRIBUTE query[] = {{CKA_WRAP_TEMPLATE, nullptr, 0}, {CKA_UNWRAP_TEMPLATE, nullptr, 0}};
    ASSERT_EQ(p11->C_GetAttributeValue(session, key, query, 2), CKR_OK);
    ASSERT_EQ(query[0].ulValueLen, 4 * sizeof(CK_ATTRIBUTE));
    EXPECT_EQ(query[1].ulValueLen, 0u);
    CK_ATTRIBUTE records[4] = {};
    query[0].pValue = records;
    ASSERT_EQ(p11->C_GetAttributeValue(session, key, query, 1), CKR_OK);
    std::vector<std::pair<CK_ATTRIBUTE_TYPE, CK_ULONG>> sizes;
    for (const CK_ATTRIBUTE& r : records) {
        sizes.emplace_back(r.type, r.ulValueLen);
    }
    // The token keeps a template ordered by type.
    const std::vector<std::pair<CK_ATTRIBUTE_TYPE, CK_ULONG>> expected = {{CKA_CLASS, sizeof(CK_ULONG)},
                                                                          {CKA_LABEL, sizeof label},
                                                                          {CKA_KEY_TYPE, sizeof(CK_ULONG)},
                                                                          {CKA_EXTRACTABLE, 1}};
    EXPECT_EQ(sizes, expected);

    CK_ULONG readClass = 0, readType = 0;
    CK_BBOOL readExtractable = CK_FALSE;
    CK_BYTE readLabel[16] = {};
    records[0].pValue = &readClass;
    records[1].pValue = readLabel;
    records[1].ulValueLen = sizeof readLabel;
    records[2].pValue = &readType;
    records[3].pValue = &readExtractable;
    ASSERT_EQ(p11->C_GetAttributeValue(session, key, query, 1), CKR_OK);
    EXPECT_EQ(readClass, CKO_SECRET_KEY);
    EXPECT_EQ(readType, CKK_AES);
    EXPECT_EQ(readExtractable, CK_TRUE);
    EXPECT_EQ(records[1].ulValueLen, sizeof label);
    EXPECT_EQ(std::string(readLabel, readLabel + sizeof label), "wrapped");

    // A member's buffer too small: that member only is unavailable.
    CK_BYTE tiny[2];
    records[1].pValue = tiny;
    records[1].ulValueLen = sizeof tiny;
    EXPECT_EQ(p11->C_GetAttributeValue(session, key, query, 1), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(records[1].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(readClass, CKO_SECRET_KEY);
}

TEST_F(MechanismSimTest, MalformedArraysAreRefusedBeforeTheyTravel)
{
    CK_MECHANISM_TYPE halfEntry[] = {CKM_AES_ECB};
    CK_ATTRIBUTE nested[] = {{CKA_ALLOWED_MECHANISMS, halfEntry, sizeof halfEntry}};
    const std::vector<CK_ATTRIBUTE> cases[] = {
        {{CKA_ALLOWED_MECHANISMS, halfEntry, sizeof halfEntry - 1}},
        {{CKA_WRAP_TEMPLATE, nested, sizeof nested}},
        {{CKA_DERIVE_TEMPLATE, nested, sizeof(CK_ATTRIBUTE) + 1}},
    };
    for (const auto& extra : cases) {
        std::vector<CK_ATTRIBUTE> t = {{CKA_TOKEN, &kFalse, sizeof kFalse}};
        t.insert(t.end(), extra.begin(), extra.end());
        CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
        EXPECT_EQ(p11->C_CreateObject(session, t.data(), t.size(), &object), CKR_ARGUMENTS_BAD);
    }
}

}  // namespace
