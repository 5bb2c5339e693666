#include "Mechanism.h"

#include <algorithm>

#include "wire/MechanismParameters.h"

namespace vexa::sim::engine {
namespace {

// The sender is a 64-bit little-endian host: a CK_ULONG is 8 bytes there.
constexpr size_t kWireUlong = 8;
constexpr size_t kWireOaepSize = 5 * kWireUlong;

CK_ULONG wireUlong(const Bytes& b, size_t index)
{
    CK_ULONG v = 0;
    for (size_t i = 0; i < kWireUlong; ++i) {
        v |= static_cast<CK_ULONG>(b[index * kWireUlong + i]) << (8 * i);
    }
    return v;
}

// The parameters the ENCRYPT_DATA derivations take, and the IV each needs.
struct EncryptDataRule {
    CK_MECHANISM_TYPE type;
    size_t ivSize;  // 0: ECB, a CK_KEY_DERIVATION_STRING_DATA
};
constexpr EncryptDataRule kEncryptData[] = {
    {CKM_DES_ECB_ENCRYPT_DATA, 0},  {CKM_DES_CBC_ENCRYPT_DATA, 8}, {CKM_DES3_ECB_ENCRYPT_DATA, 0},
    {CKM_DES3_CBC_ENCRYPT_DATA, 8}, {CKM_AES_ECB_ENCRYPT_DATA, 0}, {CKM_AES_CBC_ENCRYPT_DATA, 16},
};

const EncryptDataRule* encryptDataRule(CK_MECHANISM_TYPE type)
{
    for (const EncryptDataRule& rule : kEncryptData) {
        if (rule.type == type) {
            return &rule;
        }
    }
    return nullptr;
}

// The largest GCM tag, in bits.
constexpr uint32_t kMaxTagBits = 128;

bool lengthAgrees(const std::optional<uint32_t>& length, const std::optional<Bytes>& bytes)
{
    return !length || *length == (bytes ? bytes->size() : 0);
}

}  // namespace

CK_RV CMechanism::assign(const WireMechanism& wire)
{
    m_mech = CK_MECHANISM{wire.type, nullptr, 0};
    if (!lengthAgrees(wire.parameterLength, wire.parameter)) {
        return CKR_MECHANISM_PARAM_INVALID;
    }
    if (wire.type == CKM_RSA_PKCS_OAEP) {
        return assignOaep(wire);
    }
    if (wire.type == CKM_ECDH1_DERIVE) {
        return assignEcdh1(wire);
    }
    if (wire.type == CKM_AES_GCM) {
        return assignGcm(wire);
    }
    if (encryptDataRule(wire.type) != nullptr) {
        return assignEncryptData(wire);
    }
    return assignRaw(wire);
}

CK_RV CMechanism::assignOaep(const WireMechanism& wire)
{
    if (wire.oaep) {
        const WireOaep& o = *wire.oaep;
        if (!lengthAgrees(o.sourceDataLength, o.sourceData)) {
            return CKR_MECHANISM_PARAM_INVALID;
        }
        m_sourceData = o.sourceData.value_or(Bytes());
        m_oaep = {o.hashAlg, o.mgf, o.source.value_or(0), m_sourceData.empty() ? nullptr : m_sourceData.data(),
                  m_sourceData.size()};
    } else if (wire.parameter && wire.parameter->size() == kWireOaepSize) {
        // The raw block (wrap and unwrap send it so) is usable only without
        // source data, which would sit behind the sender's pointer.
        const Bytes& p = *wire.parameter;
        if (wireUlong(p, 3) != 0 || wireUlong(p, 4) != 0) {
            return CKR_MECHANISM_PARAM_INVALID;
        }
        m_oaep = {wireUlong(p, 0), wireUlong(p, 1), wireUlong(p, 2), nullptr, 0};
    } else {
        return wire.parameter && !wire.parameter->empty() ? CKR_MECHANISM_PARAM_INVALID : CKR_OK;
    }
    m_mech.pParameter = &m_oaep;
    m_mech.ulParameterLen = sizeof m_oaep;
    return CKR_OK;
}

CK_RV CMechanism::assignEcdh1(const WireMechanism& wire)
{
    if (!wire.ecdh1) {
        return wire.parameter && !wire.parameter->empty() ? CKR_MECHANISM_PARAM_INVALID : CKR_OK;
    }
    m_sharedData = wire.ecdh1->sharedData.value_or(Bytes());
    m_publicData = wire.ecdh1->publicData.value_or(Bytes());
    m_ecdh1 = {wire.ecdh1->kdf, m_sharedData.size(), m_sharedData.empty() ? nullptr : m_sharedData.data(),
               m_publicData.size(), m_publicData.empty() ? nullptr : m_publicData.data()};
    m_mech.pParameter = &m_ecdh1;
    m_mech.ulParameterLen = sizeof m_ecdh1;
    return CKR_OK;
}

// Without the structured parameter there is no IV to encrypt with.
CK_RV CMechanism::assignGcm(const WireMechanism& wire)
{
    if (!wire.gcm) {
        return CKR_MECHANISM_PARAM_INVALID;
    }
    const WireGcm& g = *wire.gcm;
    m_iv = g.iv.value_or(Bytes());
    m_aad = g.aad.value_or(Bytes());
    if (m_iv.empty() || g.tagBits > kMaxTagBits || g.tagBits % 8 != 0) {
        return CKR_MECHANISM_PARAM_INVALID;
    }
    m_gcm = {m_iv.data(),
             m_iv.size(),
             g.ivBits.value_or(static_cast<uint32_t>(8 * m_iv.size())),
             m_aad.empty() ? nullptr : m_aad.data(),
             m_aad.size(),
             g.tagBits};
    m_mech.pParameter = &m_gcm;
    m_mech.ulParameterLen = sizeof m_gcm;
    return CKR_OK;
}

CK_RV CMechanism::assignEncryptData(const WireMechanism& wire)
{
    const EncryptDataRule& rule = *encryptDataRule(wire.type);
    if (!wire.encryptData || !wire.encryptData->data || wire.encryptData->data->empty()) {
        return CKR_MECHANISM_PARAM_INVALID;
    }
    m_data = *wire.encryptData->data;
    const Bytes iv = wire.encryptData->iv.value_or(Bytes());
    if (iv.size() != rule.ivSize) {
        return CKR_MECHANISM_PARAM_INVALID;
    }
    if (rule.ivSize == 0) {
        m_stringData = {m_data.data(), m_data.size()};
        m_mech.pParameter = &m_stringData;
        m_mech.ulParameterLen = sizeof m_stringData;
    } else if (rule.ivSize == sizeof m_desCbcData.iv) {
        std::copy(iv.begin(), iv.end(), m_desCbcData.iv);
        m_desCbcData.pData = m_data.data();
        m_desCbcData.length = m_data.size();
        m_mech.pParameter = &m_desCbcData;
        m_mech.ulParameterLen = sizeof m_desCbcData;
    } else {
        std::copy(iv.begin(), iv.end(), m_aesCbcData.iv);
        m_aesCbcData.pData = m_data.data();
        m_aesCbcData.length = m_data.size();
        m_mech.pParameter = &m_aesCbcData;
        m_mech.ulParameterLen = sizeof m_aesCbcData;
    }
    return CKR_OK;
}

CK_RV CMechanism::assignRaw(const WireMechanism& wire)
{
    if (!wire.parameter || wire.parameter->empty()) {
        return CKR_OK;
    }
    if (!wire::hasPlainParameter(wire.type)) {
        return CKR_MECHANISM_PARAM_INVALID;
    }
    m_raw = *wire.parameter;
    m_mech.pParameter = m_raw.data();
    m_mech.ulParameterLen = m_raw.size();
    return CKR_OK;
}

}  // namespace vexa::sim::engine
