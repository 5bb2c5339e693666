#include "MechanismCarriage.h"

#include <cstring>

namespace vexa::pkcs11 {
namespace {

// The block is copied out rather than read in place: the caller's pointer
// need not be aligned for the structure.
template <typename Block>
bool readBlock(const CK_MECHANISM& mechanism, Block& block)
{
    if (mechanism.pParameter == nullptr || mechanism.ulParameterLen != sizeof(Block)) {
        return false;
    }
    std::memcpy(&block, mechanism.pParameter, sizeof(Block));
    return true;
}

// Optional bytes of a parameter block: a pointer needs a length, and no
// length may claim bytes behind a null pointer or beyond what a field holds.
bool validOptionalBytes(const void* data, CK_ULONG length)
{
    if (data == nullptr) {
        return length == 0;
    }
    return length != 0 && fitsLengthField(length);
}

}  // namespace

void carryPlain(RpcMechanism& out, const CK_MECHANISM& mechanism)
{
    out.type = low32(mechanism.mechanism);
    setMechanismParameter(out.parameter, mechanism);
}

void carryPlainWithLength(RpcMechanism& out, const CK_MECHANISM& mechanism)
{
    carryPlain(out, mechanism);
    out.has_parameterLength = true;
    out.parameterLength = low32(mechanism.ulParameterLen);
}

CK_RV CStructuredMechanism::prepare(const CK_MECHANISM& mechanism, CLogTarget& log)
{
    if (log.isLevelEnabled(corvel::kLogTrace)) {
        log.logFormat(corvel::kLogTrace, "Mechanism: 0x%08lx", mechanism.mechanism);
    }
    m_mechanism = RpcMechanism_init_zero;
    m_bytes = ByteSpan{nullptr, 0};
    switch (mechanism.mechanism) {
    case CKM_RSA_PKCS_OAEP:
        return prepareOaep(mechanism);
    case CKM_ECDH1_DERIVE:
        return prepareEcdh1(mechanism);
    default:
        if (!fitsLengthField(mechanism.ulParameterLen)) {
            return CKR_ARGUMENTS_BAD;
        }
        carryPlainWithLength(m_mechanism, mechanism);
        return CKR_OK;
    }
}

CK_RV CStructuredMechanism::prepareOaep(const CK_MECHANISM& mechanism)
{
    CK_RSA_PKCS_OAEP_PARAMS params{};
    if (!readBlock(mechanism, params) || !validOptionalBytes(params.pSourceData, params.ulSourceDataLen)) {
        return CKR_ARGUMENTS_BAD;
    }
    m_mechanism.type = low32(mechanism.mechanism);
    m_mechanism.has_oaep = true;
    RpcOaepParams& oaep = m_mechanism.oaep;
    oaep.hashAlg = low32(params.hashAlg);
    oaep.mgf = low32(params.mgf);
    oaep.has_source = true;
    oaep.source = low32(params.source);
    if (params.pSourceData != nullptr) {
        oaep.has_sourceDataLength = true;
        oaep.sourceDataLength = low32(params.ulSourceDataLen);
        m_bytes = ByteSpan{params.pSourceData, low32(params.ulSourceDataLen)};
        setBytes(oaep.sourceData, m_bytes);
    }
    return CKR_OK;
}

// The tokens take no shared data, so it is neither read nor sent.
CK_RV CStructuredMechanism::prepareEcdh1(const CK_MECHANISM& mechanism)
{
    CK_ECDH1_DERIVE_PARAMS params{};
    if (!readBlock(mechanism, params)) {
        return CKR_ARGUMENTS_BAD;
    }
    if (params.pPublicData != nullptr && !validOptionalBytes(params.pPublicData, params.ulPublicDataLen)) {
        return CKR_ARGUMENTS_BAD;
    }
    m_mechanism.type = low32(mechanism.mechanism);
    m_mechanism.has_ecdh1 = true;
    m_mechanism.ecdh1.kdf = low32(params.kdf);
    if (params.pPublicData != nullptr) {
        m_bytes = ByteSpan{params.pPublicData, low32(params.ulPublicDataLen)};
        setBytes(m_mechanism.ecdh1.publicData, m_bytes);
    }
    return CKR_OK;
}

}  // namespace vexa::pkcs11
