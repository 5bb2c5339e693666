#include <mutex>

#include "AttributeCodec.h"
#include "CryptoSteps.h"
#include "MechanismCarriage.h"

namespace vexa::pkcs11 {
namespace {

// Gives one transport a longer reply time-out for as long as it lives, and
// puts the previous one back on every way out.
class CTimeoutOverride {
public:
    CTimeoutOverride(corvel::CTransport* transport, uint32_t milliseconds) : m_transport(transport)
    {
        if (m_transport != nullptr) {
            m_saved = m_transport->getTimeout();
            m_transport->setTimeout(milliseconds);
        }
    }
    ~CTimeoutOverride()
    {
        if (m_transport == nullptr) {
            return;
        }
        try {
            m_transport->setTimeout(m_saved);
        } catch (...) {
            // Runs while an exception may already be on its way out.
        }
    }
    CTimeoutOverride(const CTimeoutOverride&) = delete;
    CTimeoutOverride& operator=(const CTimeoutOverride&) = delete;

private:
    corvel::CTransport* m_transport;
    uint32_t m_saved = 0;
};

}  // namespace

// Writes no trace line of its own. A parameter length without a parameter is
// refused, as the init functions refuse it.
CK_RV CContext::C_GenerateKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_ATTRIBUTE_PTR pTemplate,
                              CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phKey)
{
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (pMechanism == nullptr || pTemplate == nullptr || phKey == nullptr || unfitParameter(*pMechanism) ||
        !templateFits(pTemplate, ulCount)) {
        return CKR_ARGUMENTS_BAD;
    }
    std::lock_guard<std::mutex> lock(libraryMutex());
    RpcRequest request;
    if (const CK_RV opened = openRequest_inlock(*this, hSession, kFnGenerateKey, request); opened != CKR_OK) {
        return opened;
    }
    request.has_mechanism = true;
    carryPlain(request.mechanism, *pMechanism);
    AttributeTemplate keyTemplate{pTemplate, ulCount};
    setTemplate(request.template_, keyTemplate);
    RpcResponse response = RpcResponse_init_zero;
    callToken(request, response, true);
    if (response.has_handle) {
        *phKey = response.handle;
    }
    return response.rv;
}

// Key pairs take the token far longer than any other request: the exchange
// waits for the key-generation time-out instead of the usual one.
CK_RV CContext::C_GenerateKeyPair(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                  CK_ATTRIBUTE_PTR pPublicKeyTemplate, CK_ULONG ulPublicKeyAttributeCount,
                                  CK_ATTRIBUTE_PTR pPrivateKeyTemplate, CK_ULONG ulPrivateKeyAttributeCount,
                                  CK_OBJECT_HANDLE_PTR phPublicKey, CK_OBJECT_HANDLE_PTR phPrivateKey)
{
    logText(corvel::kLogTrace, "C_GenerateKeyPair");
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (pMechanism == nullptr || phPublicKey == nullptr || phPrivateKey == nullptr || pPublicKeyTemplate == nullptr ||
        pPrivateKeyTemplate == nullptr || unfitParameter(*pMechanism) ||
        !templateFits(pPublicKeyTemplate, ulPublicKeyAttributeCount) ||
        !templateFits(pPrivateKeyTemplate, ulPrivateKeyAttributeCount)) {
        return CKR_ARGUMENTS_BAD;
    }
    std::lock_guard<std::mutex> lock(libraryMutex());
    RpcRequest request;
    if (const CK_RV opened = openRequest_inlock(*this, hSession, kFnGenerateKeyPair, request); opened != CKR_OK) {
        return opened;
    }
    request.has_mechanism = true;
    carryPlain(request.mechanism, *pMechanism);
    AttributeTemplate publicTemplate{pPublicKeyTemplate, ulPublicKeyAttributeCount};
    AttributeTemplate privateTemplate{pPrivateKeyTemplate, ulPrivateKeyAttributeCount};
    setTemplate(request.template_, publicTemplate);
    setTemplate(request.template2, privateTemplate);
    RpcResponse response = RpcResponse_init_zero;
    {
        CTimeoutOverride patience(slotTransport(static_cast<CK_SLOT_ID>(currentSlot())), m_settings.keytimeout);
        callToken(request, response, true);
    }
    if (response.has_handle) {
        *phPublicKey = response.handle;
    }
    if (response.has_handle2) {
        *phPrivateKey = response.handle2;
    }
    return response.rv;
}

}  // namespace vexa::pkcs11
