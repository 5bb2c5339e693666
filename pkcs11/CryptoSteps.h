#pragma once
#include <p11-kit/pkcs11.h>

#include <cstddef>
#include <optional>

#include "CContext.h"
#include "FieldCallbacks.h"
#include "RpcFunctionIds.h"

namespace vexa::pkcs11 {

// Steps that the cryptographic families share. Functions named _inlock
// expect the library lock to be held by the caller.

// DataRoutine.cpp

// A cleared request for `function` on the session's token. Fails with
// CKR_SESSION_HANDLE_INVALID for a session the library does not hold.
CK_RV openRequest_inlock(CContext& context, CK_SESSION_HANDLE hSession, FunctionId function, RpcRequest& request);

// The caller's output length after a reply: the token's outputLength when it
// sent one, else the bytes the reader took.
CK_ULONG outputLengthOf(const RpcResponse& response, const OutputBuffer& output);

// One exchange whose reply writes into the caller's buffer through `reader`
// (installed on response.output by the caller). A success that claims more
// output than the buffer holds becomes CKR_FUNCTION_FAILED without its
// outputLength, so no caller is told of bytes beyond its buffer.
void exchangeWithOutput(CContext& context, RpcRequest& request, RpcResponse& response, const OutputBuffer& reader);

// A whole encrypt or decrypt data function (single part, update or final; a
// null input sends no data): trace line `name`, initialisation test, then
// one step under the library lock. A null output asks for the length only;
// the token answers a length query, or an output that does not fit, with the
// needed size in outputLength, which the caller receives.
CK_RV runDataFunction(CContext& context, const char* name, CK_SESSION_HANDLE hSession, FunctionId function,
                      const CK_BYTE* input, CK_ULONG inputLength, CK_BYTE* output, CK_ULONG_PTR outputLength);

// ChunkedUpdate.cpp

// Largest input of one update request; keeps the request well inside the
// exchange buffer.
constexpr size_t kUpdateChunkSize = 2000;

// Sends the input as consecutive update requests of at most kUpdateChunkSize
// bytes (one empty request for an empty input) and stops at the first result
// other than CKR_OK; the chunks before it have reached the token. The lock
// stays held across all chunks, so no other call falls between two of them.
CK_RV sendChunks_inlock(CContext& context, CK_SESSION_HANDLE hSession, FunctionId function, const CK_BYTE* input,
                        CK_ULONG length);

// OperationInit.cpp

// Starts an operation on the token: the mechanism as the caller carried it
// and, for operations with a key, the key's handle.
CK_RV sendInit_inlock(CContext& context, CK_SESSION_HANDLE hSession, FunctionId function, const RpcMechanism& mechanism,
                      std::optional<CK_OBJECT_HANDLE> key);
// Encrypt and decrypt init after their own checks: checks the parameter block
// (CKR_ARGUMENTS_BAD), then takes the library lock and starts the operation.
CK_RV startStructuredOperation(CContext& context, CK_SESSION_HANDLE hSession, FunctionId function,
                               const CK_MECHANISM& mechanism, CK_OBJECT_HANDLE key);
// Sign and verify init after the initialisation test: checks the mechanism,
// logs it at TRACE, takes the library lock, starts the operation and logs a
// refusal at INFO.
CK_RV startSignVerifyOperation(CContext& context, CK_SESSION_HANDLE hSession, FunctionId function,
                               CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE key);

}  // namespace vexa::pkcs11
