#pragma once
// What external PKCS#11 test suites do with a token's mechanism list: for
// each listed mechanism, every operation its information names, on keys it
// fits. Used on libvexa-pkcs11.so and on SoftHSM2 directly, so that the two
// lists can be held side by side.
#include <p11-kit/pkcs11.h>

#include <map>
#include <string>
#include <vector>

namespace vexa::test {

class CMechanismWalk {
public:
    CMechanismWalk(CK_FUNCTION_LIST* p11, CK_SESSION_HANDLE session) : m_p11(p11), m_session(session) {}

    // Empty when every operation the flags name worked; else what failed.
    std::string exercise(CK_MECHANISM_TYPE mechanism, const CK_MECHANISM_INFO& info);

private:
    struct Pair {
        CK_OBJECT_HANDLE publicKey = CK_INVALID_HANDLE;
        CK_OBJECT_HANDLE privateKey = CK_INVALID_HANDLE;
    };
    using Bytes = std::vector<CK_BYTE>;

    std::string generate(CK_MECHANISM_TYPE mechanism);
    std::string generatePair(CK_MECHANISM_TYPE mechanism);
    std::string digest(CK_MECHANISM_TYPE mechanism);
    std::string signVerify(CK_MECHANISM_TYPE mechanism, CK_FLAGS flags);
    std::string encryptDecrypt(CK_MECHANISM_TYPE mechanism, CK_FLAGS flags);
    std::string wrapUnwrap(CK_MECHANISM_TYPE mechanism, CK_FLAGS flags);
    std::string derive(CK_MECHANISM_TYPE mechanism);

    // The keys, made at first use and kept for the walk.
    const Pair& rsa();
    const Pair& ec(bool peer = false);
    const Pair& ed();
    const Pair& dsa();
    const Pair& dh(bool peer = false);
    CK_OBJECT_HANDLE secret(CK_KEY_TYPE type, size_t length);
    // The key pair or secret key a mechanism takes (both halves the same
    // for a secret key); false when the walk knows none.
    bool keysFor(CK_MECHANISM_TYPE mechanism, Pair& keys);
    Bytes attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type);
    CK_RV makePair(CK_MECHANISM_TYPE mechanism, std::vector<CK_ATTRIBUTE> publicTemplate, Pair& pair);

    CK_FUNCTION_LIST* m_p11;
    CK_SESSION_HANDLE m_session;
    std::map<std::string, Pair> m_pairs;
    std::map<std::pair<CK_KEY_TYPE, size_t>, CK_OBJECT_HANDLE> m_secrets;
    // Mechanism parameters live here while an operation uses them.
    Bytes m_iv, m_data;
    CK_AES_CTR_PARAMS m_ctr{};
    CK_GCM_PARAMS m_gcm{};
    CK_RSA_PKCS_OAEP_PARAMS m_oaep{};
    CK_RSA_PKCS_PSS_PARAMS m_pss{};
    CK_ECDH1_DERIVE_PARAMS m_ecdh{};
    CK_KEY_DERIVATION_STRING_DATA m_string{};
    CK_DES_CBC_ENCRYPT_DATA_PARAMS m_desCbc{};
    CK_AES_CBC_ENCRYPT_DATA_PARAMS m_aesCbc{};
    Bytes m_peer;
    CK_MECHANISM parameterFor(CK_MECHANISM_TYPE mechanism);
};

}  // namespace vexa::test
