#include "Bip32.h"

#include <mbedtls/asn1write.h>
#include <mbedtls/bignum.h>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/ecdsa.h>
#include <mbedtls/ecp.h>
#include <mbedtls/entropy.h>
#include <mbedtls/md.h>
#include <mbedtls/platform_util.h>

#include <cstring>

namespace vexa::sim::engine::bip32 {
namespace {

struct Mpi {
    mbedtls_mpi v;
    Mpi() { mbedtls_mpi_init(&v); }
    ~Mpi() { mbedtls_mpi_free(&v); }
    Mpi(const Mpi&) = delete;
    Mpi& operator=(const Mpi&) = delete;
};

struct Point {
    mbedtls_ecp_point v;
    Point() { mbedtls_ecp_point_init(&v); }
    ~Point() { mbedtls_ecp_point_free(&v); }
    Point(const Point&) = delete;
    Point& operator=(const Point&) = delete;
};

struct Curve {
    mbedtls_ecp_group grp;
    bool ok;
    Curve()
    {
        mbedtls_ecp_group_init(&grp);
        ok = mbedtls_ecp_group_load(&grp, MBEDTLS_ECP_DP_SECP256K1) == 0;
    }
    ~Curve() { mbedtls_ecp_group_free(&grp); }
    Curve(const Curve&) = delete;
    Curve& operator=(const Curve&) = delete;
};

// Randomness for blinding only: every result here is deterministic.
struct Random {
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    bool ok;
    Random()
    {
        mbedtls_entropy_init(&entropy);
        mbedtls_ctr_drbg_init(&drbg);
        static const char kPersonal[] = "vexa bip32";
        ok = mbedtls_ctr_drbg_seed(&drbg, mbedtls_entropy_func, &entropy,
                                   reinterpret_cast<const unsigned char*>(kPersonal), sizeof kPersonal - 1) == 0;
    }
    ~Random()
    {
        mbedtls_ctr_drbg_free(&drbg);
        mbedtls_entropy_free(&entropy);
    }
    Random(const Random&) = delete;
    Random& operator=(const Random&) = delete;
};

// Wipes a secret buffer when it goes out of scope.
template <size_t N>
struct Secret {
    std::array<uint8_t, N> b{};
    ~Secret() { mbedtls_platform_zeroize(b.data(), b.size()); }
};

bool hmacSha512(const uint8_t* key, size_t keyLen, const uint8_t* data, size_t dataLen, std::array<uint8_t, 64>& out)
{
    const mbedtls_md_info_t* md = mbedtls_md_info_from_type(MBEDTLS_MD_SHA512);
    return md && mbedtls_md_hmac(md, key, keyLen, data, dataLen, out.data()) == 0;
}

// Splits I into IL and IR; false when IL is not a valid scalar for `add`
// (0 < IL < n for the master key, IL < n for a child).
bool splitIntoKey(const std::array<uint8_t, 64>& i, const Key* parent, ExtendedKey& out)
{
    Curve curve;
    Mpi il, k;
    if (!curve.ok || mbedtls_mpi_read_binary(&il.v, i.data(), 32) != 0 ||
        mbedtls_mpi_cmp_mpi(&il.v, &curve.grp.N) >= 0) {
        return false;
    }
    if (parent) {
        if (mbedtls_mpi_read_binary(&k.v, parent->data(), parent->size()) != 0 ||
            mbedtls_mpi_add_mpi(&il.v, &il.v, &k.v) != 0 || mbedtls_mpi_mod_mpi(&il.v, &il.v, &curve.grp.N) != 0) {
            return false;
        }
    }
    if (mbedtls_mpi_cmp_int(&il.v, 0) == 0 || mbedtls_mpi_write_binary(&il.v, out.key.data(), out.key.size()) != 0) {
        return false;
    }
    std::memcpy(out.chainCode.data(), i.data() + 32, 32);
    return true;
}

bool deriveChild(const ExtendedKey& parent, uint32_t index, ExtendedKey& child)
{
    Secret<37> data;  // 0x00 || key || index, or point || index
    if (index & kHardened) {
        std::memcpy(data.b.data() + 1, parent.key.data(), 32);
    } else {
        auto point = publicKey(parent.key);
        if (!point) {
            return false;
        }
        std::memcpy(data.b.data(), point->data(), 33);
    }
    for (int n = 0; n < 4; ++n) {
        data.b[33 + n] = static_cast<uint8_t>(index >> (24 - 8 * n));
    }
    Secret<64> i;
    return hmacSha512(parent.chainCode.data(), parent.chainCode.size(), data.b.data(), data.b.size(), i.b) &&
           splitIntoKey(i.b, &parent.key, child);
}

// The DER SEQUENCE of two INTEGERs r and s, written backwards as mbed TLS does.
std::optional<Bytes> derSignature(const mbedtls_mpi& r, const mbedtls_mpi& s)
{
    unsigned char buf[2 * (33 + 3) + 3];
    unsigned char* p = buf + sizeof buf;
    int len = 0, n;
    if ((n = mbedtls_asn1_write_mpi(&p, buf, &s)) < 0) {
        return std::nullopt;
    }
    len += n;
    if ((n = mbedtls_asn1_write_mpi(&p, buf, &r)) < 0) {
        return std::nullopt;
    }
    len += n;
    if ((n = mbedtls_asn1_write_len(&p, buf, static_cast<size_t>(len))) < 0) {
        return std::nullopt;
    }
    len += n;
    if ((n = mbedtls_asn1_write_tag(&p, buf, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE)) < 0) {
        return std::nullopt;
    }
    len += n;
    return Bytes(p, p + len);
}

}  // namespace

std::optional<ExtendedKey> masterFromSeed(const Bytes& seed)
{
    if (seed.size() < kMinSeed || seed.size() > kMaxSeed) {
        return std::nullopt;
    }
    static const char kDomain[] = "Bitcoin seed";
    Secret<64> i;
    ExtendedKey master;
    if (!hmacSha512(reinterpret_cast<const uint8_t*>(kDomain), sizeof kDomain - 1, seed.data(), seed.size(), i.b) ||
        !splitIntoKey(i.b, nullptr, master)) {
        return std::nullopt;
    }
    return master;
}

std::optional<ExtendedKey> derive(const ExtendedKey& parent, const std::vector<uint32_t>& path)
{
    if (path.size() > kMaxDepth) {
        return std::nullopt;
    }
    ExtendedKey current = parent;
    for (uint32_t index : path) {
        ExtendedKey child;
        bool ok = deriveChild(current, index, child);
        mbedtls_platform_zeroize(&current, sizeof current);
        if (!ok) {
            return std::nullopt;
        }
        current = child;
        mbedtls_platform_zeroize(&child, sizeof child);
    }
    return current;
}

std::optional<PublicKey> publicKey(const Key& key)
{
    Curve curve;
    Random rng;
    Mpi d;
    Point q;
    PublicKey out{};
    size_t len = 0;
    if (!curve.ok || !rng.ok || mbedtls_mpi_read_binary(&d.v, key.data(), key.size()) != 0 ||
        mbedtls_ecp_mul(&curve.grp, &q.v, &d.v, &curve.grp.G, mbedtls_ctr_drbg_random, &rng.drbg) != 0 ||
        mbedtls_ecp_point_write_binary(&curve.grp, &q.v, MBEDTLS_ECP_PF_COMPRESSED, &len, out.data(), out.size()) !=
            0 ||
        len != out.size()) {
        return std::nullopt;
    }
    return out;
}

std::optional<Bytes> signHash(const Key& key, const Bytes& hash)
{
    if (hash.size() != 32) {
        return std::nullopt;
    }
    Curve curve;
    Random rng;
    Mpi d, r, s, halfN;
    if (!curve.ok || !rng.ok || mbedtls_mpi_read_binary(&d.v, key.data(), key.size()) != 0 ||
        mbedtls_ecdsa_sign_det_ext(&curve.grp, &r.v, &s.v, &d.v, hash.data(), hash.size(), MBEDTLS_MD_SHA256,
                                   mbedtls_ctr_drbg_random, &rng.drbg) != 0) {
        return std::nullopt;
    }
    if (mbedtls_mpi_copy(&halfN.v, &curve.grp.N) != 0 || mbedtls_mpi_shift_r(&halfN.v, 1) != 0) {
        return std::nullopt;
    }
    if (mbedtls_mpi_cmp_mpi(&s.v, &halfN.v) > 0 && mbedtls_mpi_sub_mpi(&s.v, &curve.grp.N, &s.v) != 0) {
        return std::nullopt;
    }
    return derSignature(r.v, s.v);
}

}  // namespace vexa::sim::engine::bip32
