#include "OperationFamilies.h"

#include <algorithm>
#include <iterator>

namespace vexa::pkcs11 {
namespace {

namespace fn = wire::fn;

struct FamilyRow {
    uint32_t function;
    FamilyCall call;
};

constexpr CallKind kStart = CallKind::Start;
constexpr CallKind kPart = CallKind::Part;
constexpr CallKind kEnd = CallKind::End;

constexpr FamilyRow kFamilyRows[] = {
    {fn::EncryptInit, {Family::Encrypt, kStart}},  {fn::Encrypt, {Family::Encrypt, kEnd}},
    {fn::EncryptUpdate, {Family::Encrypt, kPart}}, {fn::EncryptFinal, {Family::Encrypt, kEnd}},
    {fn::DecryptInit, {Family::Decrypt, kStart}},  {fn::Decrypt, {Family::Decrypt, kEnd}},
    {fn::DecryptUpdate, {Family::Decrypt, kPart}}, {fn::DecryptFinal, {Family::Decrypt, kEnd}},
    {fn::SignInit, {Family::Sign, kStart}},        {fn::Sign, {Family::Sign, kEnd}},
    {fn::SignUpdate, {Family::Sign, kPart}},       {fn::SignFinal, {Family::Sign, kEnd}},
    {fn::VerifyInit, {Family::Verify, kStart}},    {fn::Verify, {Family::Verify, kEnd}},
    {fn::VerifyUpdate, {Family::Verify, kPart}},   {fn::VerifyFinal, {Family::Verify, kEnd}},
    {fn::DigestInit, {Family::Digest, kStart}},    {fn::DigestUpdate, {Family::Digest, kPart}},
    {fn::DigestKey, {Family::Digest, kPart}},      {fn::DigestFinal, {Family::Digest, kEnd}},
};

// Signature and MAC mechanisms that hash or MAC their input as it comes.
constexpr CK_MECHANISM_TYPE kSigningInParts[] = {
    CKM_MD5_RSA_PKCS,        CKM_SHA1_RSA_PKCS,
    CKM_SHA224_RSA_PKCS,     CKM_SHA256_RSA_PKCS,
    CKM_SHA384_RSA_PKCS,     CKM_SHA512_RSA_PKCS,
    CKM_SHA1_RSA_PKCS_PSS,   CKM_SHA224_RSA_PKCS_PSS,
    CKM_SHA256_RSA_PKCS_PSS, CKM_SHA384_RSA_PKCS_PSS,
    CKM_SHA512_RSA_PKCS_PSS, CKM_DSA_SHA1,
    CKM_DSA_SHA224,          CKM_DSA_SHA256,
    CKM_DSA_SHA384,          CKM_DSA_SHA512,
    CKM_ECDSA_SHA1,          CKM_ECDSA_SHA224,
    CKM_ECDSA_SHA256,        CKM_ECDSA_SHA384,
    CKM_ECDSA_SHA512,        CKM_MD5_HMAC,
    CKM_SHA_1_HMAC,          CKM_SHA224_HMAC,
    CKM_SHA256_HMAC,         CKM_SHA384_HMAC,
    CKM_SHA512_HMAC,         CKM_AES_CMAC,
};

// Block cipher modes; the RSA mechanisms take one block.
constexpr CK_MECHANISM_TYPE kCipheringInParts[] = {
    CKM_DES_ECB,      CKM_DES_CBC, CKM_DES_CBC_PAD, CKM_DES3_ECB,    CKM_DES3_CBC,
    CKM_DES3_CBC_PAD, CKM_AES_ECB, CKM_AES_CBC,     CKM_AES_CBC_PAD, CKM_AES_CTR,
};

template <size_t N>
bool listed(const CK_MECHANISM_TYPE (&list)[N], CK_MECHANISM_TYPE mechanism)
{
    return std::find(std::begin(list), std::end(list), mechanism) != std::end(list);
}

}  // namespace

std::optional<FamilyCall> familyOf(uint32_t function)
{
    const auto row = std::find_if(std::begin(kFamilyRows), std::end(kFamilyRows),
                                  [&](const FamilyRow& r) { return r.function == function; });
    return row == std::end(kFamilyRows) ? std::nullopt : std::optional<FamilyCall>(row->call);
}

bool runsInParts(Family family, CK_MECHANISM_TYPE mechanism)
{
    switch (family) {
    case Family::Sign:
    case Family::Verify:
        return listed(kSigningInParts, mechanism);
    case Family::Encrypt:
        // AES-GCM gives its text out as it encrypts, but decrypts it only at
        // the final call, once the tag is checked: all of it in one reply.
        return listed(kCipheringInParts, mechanism) || mechanism == CKM_AES_GCM;
    case Family::Decrypt:
        return listed(kCipheringInParts, mechanism);
    case Family::Digest:
        return true;
    }
    return false;
}

void fillOperationEnd(Family family, RpcRequest& request, ByteSpan& signature)
{
    const auto withRoom = [&](FunctionId function) {
        request.function = function;
        request.has_outputLength = true;
        request.outputLength = 0xFFFFFFFFu;
    };
    switch (family) {
    case Family::Encrypt:
        withRoom(fn::EncryptFinal);
        break;
    case Family::Decrypt:
        withRoom(fn::DecryptFinal);
        break;
    case Family::Digest:
        withRoom(fn::DigestFinal);
        break;
    case Family::Sign:
        request.function = fn::SignFinal;
        break;
    case Family::Verify:
        request.function = fn::VerifyFinal;
        setBytes(request.data, signature);
        break;
    }
}

}  // namespace vexa::pkcs11
