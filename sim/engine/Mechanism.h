#pragma once
// A CK_MECHANISM rebuilt from its wire form. Parameters that hold addresses
// (such as the OAEP source data, the ECDH public value, the GCM IV and
// additional data, the data of the ENCRYPT_DATA derivations) arrive as
// separate fields; a raw parameter block is only ever handed to SoftHSM2 for
// mechanisms whose parameter holds no address, because the sender's pointers
// mean nothing here.
#include <p11-kit/pkcs11.h>

#include "Wire.h"

namespace vexa::sim::engine {

class CMechanism {
public:
    CMechanism() = default;
    CMechanism(const CMechanism&) = delete;
    CMechanism& operator=(const CMechanism&) = delete;

    // CKR_MECHANISM_PARAM_INVALID for a parameter that cannot be carried.
    CK_RV assign(const WireMechanism& wire);
    CK_MECHANISM* get() { return &m_mech; }

private:
    CK_RV assignOaep(const WireMechanism& wire);
    CK_RV assignEcdh1(const WireMechanism& wire);
    CK_RV assignGcm(const WireMechanism& wire);
    CK_RV assignEncryptData(const WireMechanism& wire);
    CK_RV assignRaw(const WireMechanism& wire);

    CK_MECHANISM m_mech{};
    Bytes m_raw;
    CK_RSA_PKCS_OAEP_PARAMS m_oaep{};
    CK_ECDH1_DERIVE_PARAMS m_ecdh1{};
    CK_GCM_PARAMS m_gcm{};
    CK_KEY_DERIVATION_STRING_DATA m_stringData{};
    CK_DES_CBC_ENCRYPT_DATA_PARAMS m_desCbcData{};
    CK_AES_CBC_ENCRYPT_DATA_PARAMS m_aesCbcData{};
    Bytes m_sourceData, m_sharedData, m_publicData, m_iv, m_aad, m_data;
};

}  // namespace vexa::sim::engine
