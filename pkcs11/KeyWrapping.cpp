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

// The checks of C_UnwrapKey, with its adjustment of the caller's mechanism
// and its DEBUG lines; at the end the mechanism is logged and the wrapped key
// viewed for sending.
CK_RV checkUnwrap(CContext& context, CK_MECHANISM_PTR pMechanism, CK_BYTE_PTR pWrappedKey, CK_ULONG ulWrappedKeyLen,
                  ByteSpan& wrapped, const AttributeTemplate& keyTemplate, CK_OBJECT_HANDLE_PTR phKey,
                  CStructuredMechanism& carried)
{
    if (pMechanism == nullptr || pWrappedKey == nullptr) {
        context.log().logText(corvel::kLogDebug, "C_UnwrapKey invalid params - null mech or wrapped key");
        return CKR_ARGUMENTS_BAD;
    }
    adjustUnwrapMechanism(*pMechanism);
    if (keyTemplate.attributes == nullptr && keyTemplate.count != 0) {
        context.log().logText(corvel::kLogDebug, "C_UnwrapKey invalid params - null template and non-null ulCount.");
        return CKR_ARGUMENTS_BAD;
    }
    if (phKey == nullptr) {
        context.log().logText(corvel::kLogDebug, "C_UnwrapKey invalid params - hKey is NULL.");
        return CKR_ARGUMENTS_BAD;
    }
    if (unfitParameter(*pMechanism) || !templateFits(keyTemplate.attributes, keyTemplate.count)) {
        return CKR_ARGUMENTS_BAD;
    }
    if (const CK_RV fits = inputSpan(pWrappedKey, ulWrappedKeyLen, wrapped); fits != CKR_OK) {
        return fits;
    }
    if (context.log().isLevelEnabled(corvel::kLogDebug)) {
        context.log().logFormat(corvel::kLogDebug, "Unwrap Mechanism: 0x%08lx", pMechanism->mechanism);
    }
    return carried.carry(*pMechanism, PlainWay::WithLength);
}

}  // namespace

// Writes no trace line of its own. Without a buffer the token still wraps;
// its bytes are skipped and only the length reaches the caller, with
// CKR_OK as PKCS#11 has it for a length query.
CK_RV CContext::C_WrapKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hWrappingKey,
                          CK_OBJECT_HANDLE hKey, CK_BYTE_PTR pWrappedKey, CK_ULONG_PTR pulWrappedKeyLen)
{
    OutputBuffer reader;
    CStructuredMechanism carried;
    const auto checks = [&] {
        if (pMechanism == nullptr || pulWrappedKeyLen == nullptr || unfitParameter(*pMechanism)) {
            return CKR_ARGUMENTS_BAD;
        }
        if (pWrappedKey != nullptr && *pulWrappedKeyLen == 0) {
            return CKR_BUFFER_TOO_SMALL;
        }
        if (m_log.isLevelEnabled(corvel::kLogDebug)) {
            m_log.logFormat(corvel::kLogDebug, "Wrap Mechanism: 0x%08lx", pMechanism->mechanism);
        }
        reader = OutputBuffer{pWrappedKey, capacity32(*pulWrappedKeyLen)};
        return carried.carry(*pMechanism, PlainWay::WithLength);
    };
    const auto fill = [&](TokenCall& call) {
        call.request.has_mechanism = true;
        carried.writeTo(call.request.mechanism);
        call.request.has_handle = true;
        call.request.handle = low32(hKey);
        call.request.has_handle2 = true;
        call.request.handle2 = low32(hWrappingKey);
        call.request.has_outputLength = true;
        call.request.outputLength = reader.capacity;
        setOutput(call.response.output, reader);
    };
    return sessionCall(*this, nullptr, hSession, fn::WrapKey, checks, fill, [&](TokenCall& call) {
        RpcResponse& response = call.response;
        checkOutput(*this, response, reader);
        // Without a buffer the caller only asked for the length: a token that
        // finds the announced room too small has answered exactly that.
        if (pWrappedKey == nullptr && response.rv == CKR_BUFFER_TOO_SMALL && response.has_outputLength) {
            response.rv = CKR_OK;
        }
        if (response.has_outputLength || response.rv == CKR_OK) {
            *pulWrappedKeyLen = outputLengthOf(response, reader);
        }
        return response.rv;
    });
}

// Writes no trace line of its own.
CK_RV CContext::C_UnwrapKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hUnwrappingKey,
                            CK_BYTE_PTR pWrappedKey, CK_ULONG ulWrappedKeyLen, CK_ATTRIBUTE_PTR pTemplate,
                            CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR phKey)
{
    ByteSpan wrapped{nullptr, 0};
    AttributeTemplate keyTemplate{pTemplate, ulAttributeCount};
    CStructuredMechanism carried;
    const auto checks = [&] {
        return checkUnwrap(*this, pMechanism, pWrappedKey, ulWrappedKeyLen, wrapped, keyTemplate, phKey, carried);
    };
    const auto fill = [&](TokenCall& call) {
        call.request.has_mechanism = true;
        carried.writeTo(call.request.mechanism);
        call.request.has_handle = true;
        call.request.handle = low32(hUnwrappingKey);
        setBytes(call.request.data, wrapped);
        setTemplate(call.request.template_, keyTemplate);
    };
    return sessionCall(*this, nullptr, hSession, fn::UnwrapKey, checks, fill, [&](TokenCall& call) {
        if (call.response.has_handle) {
            *phKey = call.response.handle;
        }
        if (call.response.rv != CKR_OK) {
            m_log.logFormat(corvel::kLogDebug, "C_UnwrapKey rv = 0x%lx", static_cast<CK_ULONG>(call.response.rv));
        }
        return call.response.rv;
    });
}

}  // namespace vexa::pkcs11
