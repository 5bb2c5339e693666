#include "OpenSslCheck.h"

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <memory>

namespace vexa::test::openssl {
namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using ParamBld = std::unique_ptr<OSSL_PARAM_BLD, Deleter<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>>;
using Params = std::unique_ptr<OSSL_PARAM, Deleter<OSSL_PARAM, OSSL_PARAM_free>>;
using Bignum = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, Deleter<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;

Bignum bignum(const Bytes& b) { return Bignum(BN_bin2bn(b.data(), static_cast<int>(b.size()), nullptr)); }

Pkey publicKey(const char* type, OSSL_PARAM_BLD* bld)
{
    Params params(OSSL_PARAM_BLD_to_param(bld));
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr));
    EVP_PKEY* key = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
        return nullptr;
    }
    return Pkey(key);
}

}  // namespace

Bytes digest(const std::string& hash, const Bytes& data)
{
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &length, EVP_get_digestbyname(hash.c_str()), nullptr);
    out.resize(length);
    return out;
}

bool verifyRsaPss(const Bytes& modulus, const Bytes& exponent, const std::string& hash, size_t saltLength,
                  const Bytes& digest, const Bytes& signature)
{
    ParamBld bld(OSSL_PARAM_BLD_new());
    Bignum n = bignum(modulus);
    Bignum e = bignum(exponent);
    OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n.get());
    OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get());
    Pkey key = publicKey("RSA", bld.get());
    const EVP_MD* md = EVP_get_digestbyname(hash.c_str());
    PkeyCtx ctx(key ? EVP_PKEY_CTX_new(key.get(), nullptr) : nullptr);
    return ctx && md && EVP_PKEY_verify_init(ctx.get()) == 1 &&
           EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PSS_PADDING) == 1 &&
           EVP_PKEY_CTX_set_signature_md(ctx.get(), md) == 1 && EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), md) == 1 &&
           EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx.get(), static_cast<int>(saltLength)) == 1 &&
           EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), digest.data(), digest.size()) == 1;
}

bool verifyEcdsaP256(const Bytes& point, const std::string& hash, const Bytes& data, const Bytes& signature)
{
    ParamBld bld(OSSL_PARAM_BLD_new());
    OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0);
    OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size());
    Pkey key = publicKey("EC", bld.get());
    if (!key || signature.size() % 2 != 0) {
        return false;
    }
    const size_t half = signature.size() / 2;
    ECDSA_SIG* sig = ECDSA_SIG_new();
    ECDSA_SIG_set0(sig, BN_bin2bn(signature.data(), static_cast<int>(half), nullptr),
                   BN_bin2bn(signature.data() + half, static_cast<int>(half), nullptr));
    unsigned char* der = nullptr;
    const int derLength = i2d_ECDSA_SIG(sig, &der);
    ECDSA_SIG_free(sig);
    MdCtx ctx(EVP_MD_CTX_new());
    const bool ok =
        derLength > 0 &&
        EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_get_digestbyname(hash.c_str()), nullptr, key.get()) == 1 &&
        EVP_DigestVerify(ctx.get(), der, static_cast<size_t>(derLength), data.data(), data.size()) == 1;
    OPENSSL_free(der);
    return ok;
}

namespace {

const EVP_CIPHER* gcmCipher(const Bytes& key)
{
    switch (key.size()) {
    case 16:
        return EVP_aes_128_gcm();
    case 24:
        return EVP_aes_192_gcm();
    default:
        return EVP_aes_256_gcm();
    }
}

bool gcmStart(EVP_CIPHER_CTX* ctx, bool encrypt, const Bytes& key, const Bytes& iv, const Bytes& aad)
{
    int length = 0;
    return EVP_CipherInit_ex(ctx, gcmCipher(key), nullptr, nullptr, nullptr, encrypt ? 1 : 0) == 1 &&
           EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(iv.size()), nullptr) == 1 &&
           EVP_CipherInit_ex(ctx, nullptr, nullptr, key.data(), iv.data(), encrypt ? 1 : 0) == 1 &&
           (aad.empty() || EVP_CipherUpdate(ctx, nullptr, &length, aad.data(), static_cast<int>(aad.size())) == 1);
}

}  // namespace

Bytes gcmSeal(const Bytes& key, const Bytes& iv, const Bytes& aad, size_t tagBytes, const Bytes& plain)
{
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    Bytes out(plain.size() + tagBytes);
    int length = 0;
    int last = 0;
    if (!gcmStart(ctx.get(), true, key, iv, aad) ||
        EVP_EncryptUpdate(ctx.get(), out.data(), &length, plain.data(), static_cast<int>(plain.size())) != 1 ||
        EVP_EncryptFinal_ex(ctx.get(), out.data() + length, &last) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(tagBytes), out.data() + plain.size()) !=
            1) {
        return {};
    }
    return out;
}

bool gcmOpen(const Bytes& key, const Bytes& iv, const Bytes& aad, size_t tagBytes, const Bytes& sealed, Bytes& plain)
{
    if (sealed.size() < tagBytes) {
        return false;
    }
    const size_t cipherLength = sealed.size() - tagBytes;
    Bytes tag(sealed.begin() + static_cast<long>(cipherLength), sealed.end());
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    plain.assign(cipherLength + 16, 0);
    int length = 0;
    int last = 0;
    const bool ok =
        gcmStart(ctx.get(), false, key, iv, aad) &&
        EVP_DecryptUpdate(ctx.get(), plain.data(), &length, sealed.data(), static_cast<int>(cipherLength)) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(tagBytes), tag.data()) == 1 &&
        EVP_DecryptFinal_ex(ctx.get(), plain.data() + length, &last) == 1;
    plain.resize(ok ? static_cast<size_t>(length + last) : 0);
    return ok;
}

Bytes encryptBlocks(const std::string& cipher, const Bytes& key, const Bytes& iv, const Bytes& data)
{
    std::unique_ptr<EVP_CIPHER, Deleter<EVP_CIPHER, EVP_CIPHER_free>> algorithm(
        EVP_CIPHER_fetch(nullptr, cipher.c_str(), nullptr));
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    Bytes out(data.size() + 32);
    int length = 0;
    int last = 0;
    if (!algorithm ||
        EVP_EncryptInit_ex(ctx.get(), algorithm.get(), nullptr, key.data(), iv.empty() ? nullptr : iv.data()) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1 ||
        EVP_EncryptUpdate(ctx.get(), out.data(), &length, data.data(), static_cast<int>(data.size())) != 1 ||
        EVP_EncryptFinal_ex(ctx.get(), out.data() + length, &last) != 1) {
        return {};
    }
    out.resize(static_cast<size_t>(length + last));
    return out;
}

}  // namespace vexa::test::openssl
