#include "AttributeCodec.h"
#include "CryptoSteps.h"
#include "MechanismCarriage.h"

namespace vexa::pkcs11 {
namespace {

// The result, with the handle the token gave the new key when it gave one.
auto takeKey(CK_OBJECT_HANDLE_PTR key)
{
    return [key](TokenCall& call) {
        if (call.response.has_handle) {
            *key = call.response.handle;
        }
        return call.response.rv;
    };
}

}  // namespace

// Writes no trace line of its own. A parameter length without a parameter is
// refused, as the init functions refuse it.
CK_RV CContext::C_GenerateKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_ATTRIBUTE_PTR pTemplate,
                              CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phKey)
{
    AttributeTemplate keyTemplate{pTemplate, ulCount};
    CStructuredMechanism carried;
    const auto checks = [&] {
        const bool bad = pMechanism == nullptr || pTemplate == nullptr || phKey == nullptr ||
                         unfitParameter(*pMechanism) || !templateFits(pTemplate, ulCount);
        return bad ? CKR_ARGUMENTS_BAD : carried.carry(*pMechanism, PlainWay::Bare);
    };
    const auto fill = [&](TokenCall& call) {
        call.request.has_mechanism = true;
        carried.writeTo(call.request.mechanism);
        setTemplate(call.request.template_, keyTemplate);
    };
    return sessionCall(*this, nullptr, hSession, fn::GenerateKey, checks, fill, takeKey(phKey));
}

// Key pairs take the token far longer than any other request: the exchange
// waits for the key-generation time-out instead of the usual one.
CK_RV CContext::C_GenerateKeyPair(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                  CK_ATTRIBUTE_PTR pPublicKeyTemplate, CK_ULONG ulPublicKeyAttributeCount,
                                  CK_ATTRIBUTE_PTR pPrivateKeyTemplate, CK_ULONG ulPrivateKeyAttributeCount,
                                  CK_OBJECT_HANDLE_PTR phPublicKey, CK_OBJECT_HANDLE_PTR phPrivateKey)
{
    AttributeTemplate publicTemplate{pPublicKeyTemplate, ulPublicKeyAttributeCount};
    AttributeTemplate privateTemplate{pPrivateKeyTemplate, ulPrivateKeyAttributeCount};
    CStructuredMechanism carried;
    const auto checks = [&] {
        const bool bad = pMechanism == nullptr || phPublicKey == nullptr || phPrivateKey == nullptr ||
                         pPublicKeyTemplate == nullptr || pPrivateKeyTemplate == nullptr ||
                         unfitParameter(*pMechanism) || !templateFits(pPublicKeyTemplate, ulPublicKeyAttributeCount) ||
                         !templateFits(pPrivateKeyTemplate, ulPrivateKeyAttributeCount);
        return bad ? CKR_ARGUMENTS_BAD : carried.carry(*pMechanism, PlainWay::Bare);
    };
    const auto fill = [&](TokenCall& call) {
        call.request.has_mechanism = true;
        carried.writeTo(call.request.mechanism);
        setTemplate(call.request.template_, publicTemplate);
        setTemplate(call.request.template2, privateTemplate);
        call.replyTimeout = m_settings.keytimeout;
    };
    return sessionCall(*this, "C_GenerateKeyPair", hSession, fn::GenerateKeyPair, checks, fill, [&](TokenCall& call) {
        if (call.response.has_handle) {
            *phPublicKey = call.response.handle;
        }
        if (call.response.has_handle2) {
            *phPrivateKey = call.response.handle2;
        }
        return call.response.rv;
    });
}

}  // namespace vexa::pkcs11
