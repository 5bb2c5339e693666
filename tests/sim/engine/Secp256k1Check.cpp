#include "Secp256k1Check.h"

#include <mbedtls/ecdsa.h>

namespace vexa::test::engine {
namespace {

struct Mpi {
    mbedtls_mpi v;
    Mpi() { mbedtls_mpi_init(&v); }
    ~Mpi() { mbedtls_mpi_free(&v); }
};

bool decompress(const mbedtls_ecp_group& grp, const Bytes& in, mbedtls_ecp_point& out)
{
    if (in.size() != 33 || (in[0] != 2 && in[0] != 3)) {
        return false;
    }
    Mpi x, rhs, exp, y;
    bool ok = mbedtls_mpi_read_binary(&x.v, in.data() + 1, 32) == 0 && mbedtls_mpi_mul_mpi(&rhs.v, &x.v, &x.v) == 0 &&
              mbedtls_mpi_mul_mpi(&rhs.v, &rhs.v, &x.v) == 0 && mbedtls_mpi_add_int(&rhs.v, &rhs.v, 7) == 0 &&
              mbedtls_mpi_mod_mpi(&rhs.v, &rhs.v, &grp.P) == 0 && mbedtls_mpi_add_int(&exp.v, &grp.P, 1) == 0 &&
              mbedtls_mpi_shift_r(&exp.v, 2) == 0 && mbedtls_mpi_exp_mod(&y.v, &rhs.v, &exp.v, &grp.P, nullptr) == 0;
    if (!ok) {
        return false;
    }
    if (static_cast<int>(mbedtls_mpi_get_bit(&y.v, 0)) != (in[0] & 1) && mbedtls_mpi_sub_mpi(&y.v, &grp.P, &y.v) != 0) {
        return false;
    }
    return mbedtls_mpi_copy(&out.X, &x.v) == 0 && mbedtls_mpi_copy(&out.Y, &y.v) == 0 &&
           mbedtls_mpi_lset(&out.Z, 1) == 0 && mbedtls_ecp_check_pubkey(&grp, &out) == 0;
}

}  // namespace

bool verifySecp256k1(const Bytes& compressedPublicKey, const Bytes& hash, const Bytes& derSignature)
{
    mbedtls_ecdsa_context ctx;
    mbedtls_ecdsa_init(&ctx);
    bool ok =
        mbedtls_ecp_group_load(&ctx.grp, MBEDTLS_ECP_DP_SECP256K1) == 0 &&
        decompress(ctx.grp, compressedPublicKey, ctx.Q) &&
        mbedtls_ecdsa_read_signature(&ctx, hash.data(), hash.size(), derSignature.data(), derSignature.size()) == 0;
    mbedtls_ecdsa_free(&ctx);
    return ok;
}

}  // namespace vexa::test::engine
