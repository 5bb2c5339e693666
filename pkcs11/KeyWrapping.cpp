#include <mutex>

#include "AttributeCodec.h"
#include "CryptoSteps.h"
#include "MechanismCarriage.h"

namespace vexa::pkcs11 {
namespace {

// RSA PKCS#1 v1.5 takes no parameter; for any other type a missing parameter
// has no length. The caller finds its mechanism so adjusted afterwards.
void adjustUnwrapMechanism(CK_MECHANISM& mechanism)
{
    if (mechanism.mechanism == CKM_RSA_PKCS) {
        mechanism.pParameter = nullptr;
        mechanism.ulParameterLen = 0;
    } else if (mechanism.pParameter == nullptr) {
        mechanism.ulParameterLen = 0;
    }
}

}  // namespace

// Writes no trace line of its own. Without a buffer the token still wraps;
// its bytes are skipped and only the length reaches the caller, with
// CKR_OK as PKCS#11 has it for a length query.
CK_RV CContext::C_WrapKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hWrappingKey,
                          CK_OBJECT_HANDLE hKey, CK_BYTE_PTR pWrappedKey, CK_ULONG_PTR pulWrappedKeyLen)
{
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (pMechanism == nullptr || pulWrappedKeyLen == nullptr || unfitParameter(*pMechanism)) {
        return CKR_ARGUMENTS_BAD;
    }
    if (pWrappedKey != nullptr && *pulWrappedKeyLen == 0) {
        return CKR_BUFFER_TOO_SMALL;
    }
    if (isLevelEnabled(corvel::kLogDebug)) {
        logFormat(corvel::kLogDebug, "Wrap Mechanism: 0x%08lx", pMechanism->mechanism);
    }
    std::lock_guard<std::mutex> lock(libraryMutex());
    RpcRequest request;
    if (const CK_RV opened = openRequest_inlock(*this, hSession, kFnWrapKey, request); opened != CKR_OK) {
        return opened;
    }
    request.has_mechanism = true;
    carryPlainWithLength(request.mechanism, *pMechanism);
    request.has_handle = true;
    request.handle = low32(hKey);
    request.has_handle2 = true;
    request.handle2 = low32(hWrappingKey);
    request.has_outputLength = true;
    request.outputLength = capacity32(*pulWrappedKeyLen);
    RpcResponse response = RpcResponse_init_zero;
    OutputBuffer reader{pWrappedKey, request.outputLength};
    setOutput(response.output, reader);
    exchangeWithOutput(*this, request, response, reader);
    // Without a buffer the caller only asked for the length: a token that
    // finds the announced room too small has answered exactly that.
    if (pWrappedKey == nullptr && response.rv == CKR_BUFFER_TOO_SMALL && response.has_outputLength) {
        response.rv = CKR_OK;
    }
    if (response.has_outputLength || response.rv == CKR_OK) {
        *pulWrappedKeyLen = outputLengthOf(response, reader);
    }
    return response.rv;
}

// Writes no trace line of its own.
CK_RV CContext::C_UnwrapKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hUnwrappingKey,
                            CK_BYTE_PTR pWrappedKey, CK_ULONG ulWrappedKeyLen, CK_ATTRIBUTE_PTR pTemplate,
                            CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR phKey)
{
    if (!m_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (pMechanism == nullptr || pWrappedKey == nullptr) {
        logText(corvel::kLogDebug, "C_UnwrapKey invalid params - null mech or wrapped key");
        return CKR_ARGUMENTS_BAD;
    }
    adjustUnwrapMechanism(*pMechanism);
    if (pTemplate == nullptr && ulAttributeCount != 0) {
        logText(corvel::kLogDebug, "C_UnwrapKey invalid params - null template and non-null ulCount.");
        return CKR_ARGUMENTS_BAD;
    }
    if (phKey == nullptr) {
        logText(corvel::kLogDebug, "C_UnwrapKey invalid params - hKey is NULL.");
        return CKR_ARGUMENTS_BAD;
    }
    if (unfitParameter(*pMechanism) || !templateFits(pTemplate, ulAttributeCount)) {
        return CKR_ARGUMENTS_BAD;
    }
    ByteSpan wrapped{nullptr, 0};
    if (const CK_RV fits = inputSpan(pWrappedKey, ulWrappedKeyLen, wrapped); fits != CKR_OK) {
        return fits;
    }
    if (isLevelEnabled(corvel::kLogDebug)) {
        logFormat(corvel::kLogDebug, "Unwrap Mechanism: 0x%08lx", pMechanism->mechanism);
    }
    std::lock_guard<std::mutex> lock(libraryMutex());
    RpcRequest request;
    if (const CK_RV opened = openRequest_inlock(*this, hSession, kFnUnwrapKey, request); opened != CKR_OK) {
        return opened;
    }
    request.has_mechanism = true;
    carryPlainWithLength(request.mechanism, *pMechanism);
    request.has_handle = true;
    request.handle = low32(hUnwrappingKey);
    setBytes(request.data, wrapped);
    AttributeTemplate keyTemplate{pTemplate, ulAttributeCount};
    setTemplate(request.template_, keyTemplate);
    RpcResponse response = RpcResponse_init_zero;
    callToken(request, response, true);
    if (response.has_handle) {
        *phKey = response.handle;
    }
    if (response.rv != CKR_OK) {
        logFormat(corvel::kLogDebug, "C_UnwrapKey rv = 0x%lx", static_cast<CK_ULONG>(response.rv));
    }
    return response.rv;
}

}  // namespace vexa::pkcs11
