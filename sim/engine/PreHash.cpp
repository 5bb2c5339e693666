#include "PreHash.h"

#include <mbedtls/md.h>

namespace vexa::sim::engine {
namespace {

struct HashedSignature {
    CK_MECHANISM_TYPE mechanism;
    CK_MECHANISM_TYPE raw;
    mbedtls_md_type_t hash;
};

constexpr HashedSignature kHashedSignatures[] = {
    {CKM_ECDSA_SHA1, CKM_ECDSA, MBEDTLS_MD_SHA1},     {CKM_ECDSA_SHA224, CKM_ECDSA, MBEDTLS_MD_SHA224},
    {CKM_ECDSA_SHA256, CKM_ECDSA, MBEDTLS_MD_SHA256}, {CKM_ECDSA_SHA384, CKM_ECDSA, MBEDTLS_MD_SHA384},
    {CKM_ECDSA_SHA512, CKM_ECDSA, MBEDTLS_MD_SHA512},
};

}  // namespace

struct CPreHash::Context {
    mbedtls_md_context_t md;
    const mbedtls_md_info_t* info = nullptr;
    Context() { mbedtls_md_init(&md); }
    ~Context() { mbedtls_md_free(&md); }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
};

std::shared_ptr<CPreHash> CPreHash::forMechanism(CK_MECHANISM_TYPE mechanism)
{
    for (const HashedSignature& h : kHashedSignatures) {
        if (h.mechanism != mechanism) {
            continue;
        }
        auto context = std::make_unique<Context>();
        context->info = mbedtls_md_info_from_type(h.hash);
        if (context->info == nullptr || mbedtls_md_setup(&context->md, context->info, 0) != 0 ||
            mbedtls_md_starts(&context->md) != 0) {
            return nullptr;
        }
        return std::shared_ptr<CPreHash>(new CPreHash(h.raw, std::move(context)));
    }
    return nullptr;
}

CPreHash::CPreHash(CK_MECHANISM_TYPE raw, std::unique_ptr<Context> context) : m_raw(raw), m_context(std::move(context))
{}

CPreHash::~CPreHash() = default;

Bytes CPreHash::digestOf(const std::optional<Bytes>& data) const
{
    Bytes out(mbedtls_md_get_size(m_context->info));
    const uint8_t* in = data && !data->empty() ? data->data() : nullptr;
    mbedtls_md(m_context->info, in, data ? data->size() : 0, out.data());
    return out;
}

void CPreHash::update(const std::optional<Bytes>& data)
{
    if (data && !data->empty()) {
        mbedtls_md_update(&m_context->md, data->data(), data->size());
    }
}

Bytes CPreHash::digest() const
{
    Context copy;
    Bytes out(mbedtls_md_get_size(m_context->info));
    if (mbedtls_md_setup(&copy.md, m_context->info, 0) == 0 && mbedtls_md_clone(&copy.md, &m_context->md) == 0) {
        mbedtls_md_finish(&copy.md, out.data());
    }
    return out;
}

}  // namespace vexa::sim::engine
