#include "MechanismCarriage.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "wire/MechanismParameters.h"

namespace vexa::pkcs11 {
namespace {

// The ENCRYPT_DATA derivations and the IV in their parameter: none for the
// ECB ones (a CK_KEY_DERIVATION_STRING_DATA), a block for the CBC ones.
struct EncryptDataCarriage {
    CK_MECHANISM_TYPE type;
    size_t ivSize;
};
constexpr EncryptDataCarriage kEncryptData[] = {
    {CKM_DES_ECB_ENCRYPT_DATA, 0},  {CKM_DES_CBC_ENCRYPT_DATA, 8}, {CKM_DES3_ECB_ENCRYPT_DATA, 0},
    {CKM_DES3_CBC_ENCRYPT_DATA, 8}, {CKM_AES_ECB_ENCRYPT_DATA, 0}, {CKM_AES_CBC_ENCRYPT_DATA, 16},
};

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

// Bytes a block cannot do without: present and of a length a field holds.
bool validRequiredBytes(const void* data, CK_ULONG length)
{
    return data != nullptr && length != 0 && fitsLengthField(length);
}

// The derivation's data, its length and (CBC) its IV, from the caller's block.
template <typename Block>
bool readCbcBlock(const CK_MECHANISM& mechanism, CK_BYTE* iv, const void*& data, CK_ULONG& length)
{
    Block block{};
    if (!readBlock(mechanism, block)) {
        return false;
    }
    std::memcpy(iv, block.iv, sizeof block.iv);
    data = block.pData;
    length = block.length;
    return true;
}

}  // namespace

bool hasPlainParameter(CK_MECHANISM_TYPE type) { return wire::hasPlainParameter(type); }

CK_RV CStructuredMechanism::prepare(const CK_MECHANISM& mechanism, CLogTarget& log)
{
    if (log.isLevelEnabled(corvel::kLogTrace)) {
        log.logFormat(corvel::kLogTrace, "Mechanism: 0x%08lx", mechanism.mechanism);
    }
    return carry(mechanism, PlainWay::WithLength);
}

CK_RV CStructuredMechanism::carry(const CK_MECHANISM& mechanism, PlainWay way)
{
    m_mechanism = RpcMechanism_init_zero;
    m_bytes = ByteSpan{nullptr, 0};
    m_bytes2 = ByteSpan{nullptr, 0};
    switch (mechanism.mechanism) {
    case CKM_RSA_PKCS_OAEP:
        return prepareOaep(mechanism);
    case CKM_ECDH1_DERIVE:
        return prepareEcdh1(mechanism);
    case CKM_AES_GCM:
        return prepareGcm(mechanism);
    default:
        break;
    }
    for (const EncryptDataCarriage& derivation : kEncryptData) {
        if (derivation.type == mechanism.mechanism) {
            return prepareEncryptData(mechanism, derivation.ivSize);
        }
    }
    if (unfitParameter(mechanism)) {
        return CKR_ARGUMENTS_BAD;
    }
    if (mechanism.ulParameterLen != 0 && !hasPlainParameter(mechanism.mechanism)) {
        return CKR_MECHANISM_PARAM_INVALID;
    }
    m_mechanism.type = low32(mechanism.mechanism);
    setMechanismParameter(m_mechanism.parameter, mechanism);
    if (way == PlainWay::WithLength) {
        m_mechanism.has_parameterLength = true;
        m_mechanism.parameterLength = low32(mechanism.ulParameterLen);
    }
    return CKR_OK;
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

// The IV must be there; the additional data may be left out. The tag and
// IV sizes are the token's to judge.
CK_RV CStructuredMechanism::prepareGcm(const CK_MECHANISM& mechanism)
{
    CK_GCM_PARAMS params{};
    if (!readBlock(mechanism, params) || !validRequiredBytes(params.pIv, params.ulIvLen) ||
        !validOptionalBytes(params.pAAD, params.ulAADLen) || !fitsLengthField(params.ulIvBits) ||
        !fitsLengthField(params.ulTagBits)) {
        return CKR_MECHANISM_PARAM_INVALID;
    }
    m_mechanism.type = low32(mechanism.mechanism);
    m_mechanism.has_gcm = true;
    RpcGcmParams& gcm = m_mechanism.gcm;
    m_bytes = ByteSpan{params.pIv, low32(params.ulIvLen)};
    setBytes(gcm.iv, m_bytes);
    gcm.has_ivBits = true;
    gcm.ivBits = low32(params.ulIvBits);
    if (params.pAAD != nullptr) {
        m_bytes2 = ByteSpan{params.pAAD, low32(params.ulAADLen)};
        setBytes(gcm.aad, m_bytes2);
    }
    gcm.tagBits = low32(params.ulTagBits);
    return CKR_OK;
}

CK_RV CStructuredMechanism::prepareEncryptData(const CK_MECHANISM& mechanism, size_t ivSize)
{
    const void* data = nullptr;
    CK_ULONG length = 0;
    bool read = false;
    if (ivSize == 0) {
        CK_KEY_DERIVATION_STRING_DATA block{};
        read = readBlock(mechanism, block);
        data = block.pData;
        length = block.ulLen;
    } else if (ivSize == sizeof(CK_DES_CBC_ENCRYPT_DATA_PARAMS::iv)) {
        read = readCbcBlock<CK_DES_CBC_ENCRYPT_DATA_PARAMS>(mechanism, m_iv, data, length);
    } else {
        read = readCbcBlock<CK_AES_CBC_ENCRYPT_DATA_PARAMS>(mechanism, m_iv, data, length);
    }
    if (!read || !validRequiredBytes(data, length)) {
        return CKR_MECHANISM_PARAM_INVALID;
    }
    m_mechanism.type = low32(mechanism.mechanism);
    m_mechanism.has_encryptData = true;
    m_bytes = ByteSpan{data, low32(length)};
    setBytes(m_mechanism.encryptData.data, m_bytes);
    if (ivSize != 0) {
        m_bytes2 = ByteSpan{m_iv, static_cast<uint32_t>(ivSize)};
        setBytes(m_mechanism.encryptData.iv, m_bytes2);
    }
    return CKR_OK;
}

}  // namespace vexa::pkcs11
