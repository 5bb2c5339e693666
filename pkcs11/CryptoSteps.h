#pragma once
#include <p11-kit/pkcs11.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "CallShapes.h"
#include "FieldCallbacks.h"

namespace vexa::pkcs11 {

// Steps that the cryptographic families share.

// DataRoutine.cpp

// The caller's output length after a reply: the token's outputLength when it
// sent one, else the bytes the reader took.
CK_ULONG outputLengthOf(const RpcResponse& response, const OutputBuffer& output);

// The result of an exchange whose reply wrote into the caller's buffer
// through `reader`: a success that claims more output than the buffer holds
// becomes CKR_FUNCTION_FAILED without its outputLength, so no caller is told
// of bytes beyond its buffer.
CK_RV checkOutput(CContext& context, RpcResponse& response, const OutputBuffer& reader);

// A whole encrypt or decrypt data function (single part, update or final; a
// null input sends no data). An update of more than kOneMessageInput bytes
// goes in parts whose output the library collects and hands out. A null output asks for
// the length only; the token answers a length query, or an output that does
// not fit, with the needed size in outputLength, which the caller receives.
// A null outputLength is CKR_ARGUMENTS_BAD, and nothing is sent.
CK_RV runDataFunction(CContext& context, const char* name, CK_SESSION_HANDLE hSession, FunctionId function,
                      const CK_BYTE* input, CK_ULONG inputLength, CK_BYTE* output, CK_ULONG_PTR outputLength);

// A result the library holds for the caller (KeptResult.cpp): handed out as
// PKCS#11 hands out any output. A null output or one too small keeps it
// (CKR_OK or CKR_BUFFER_TOO_SMALL with the length); a buffer with room takes
// it and the operation is over.
CK_RV handOutResult(CContext& context, CK_SESSION_HANDLE hSession, Family family, std::vector<uint8_t> result,
                    CK_BYTE* output, CK_ULONG_PTR outputLength);
// The kept result of the family, handed out, when there is one.
std::optional<CK_RV> handOutKeptResult(CContext& context, CK_SESSION_HANDLE hSession, Family family, CK_BYTE* output,
                                       CK_ULONG_PTR outputLength);

// The largest input a single-part call carries in one message; more goes as
// updates and a final, when the mechanism runs in parts.
constexpr size_t kOneMessageInput = 1536;
// The size of each part then: small enough that the output of a cipher's
// update always fits a reply.
constexpr size_t kCipherPart = 1024;

// The mechanism of the session's operation of that family runs in parts;
// false when the library does not know it.
bool operationRunsInParts(CContext& context, CK_SESSION_HANDLE hSession, Family family);

// The requests of a single-part encryption or decryption.
struct DataFunctions {
    Family family;
    FunctionId single;
    FunctionId update;
    FunctionId final;
};

// C_Encrypt or C_Decrypt. Input up to kOneMessageInput goes in one request
// as runDataFunction sends it; more goes as updates of kCipherPart bytes and
// a final when the mechanism runs in parts (the library collects the output
// and hands it out), else the call fails with CKR_DATA_LEN_RANGE.
CK_RV runSinglePartData(CContext& context, const char* name, CK_SESSION_HANDLE hSession, const DataFunctions& functions,
                        const CK_BYTE* input, CK_ULONG inputLength, CK_BYTE* output, CK_ULONG_PTR outputLength);

// ChunkedUpdate.cpp

// Sends input as update requests of function, at most `part` bytes each
// (one empty request for an empty input), stopping at the first result
// other than CKR_OK, which it returns. The caller holds the session's token.
CK_RV sendInParts(CContext& context, CK_SESSION_HANDLE hSession, FunctionId function, const CK_BYTE* input,
                  CK_ULONG length, size_t part);

// Largest input of one update request; keeps the request well inside the
// exchange buffer.
constexpr size_t kUpdateChunkSize = 2000;

// A sign, verify or digest update: the input goes out as consecutive update
// requests of at most kUpdateChunkSize bytes (one empty request for an empty
// input), stopping at the first result other than CKR_OK; the chunks before
// it have reached the token. The token stays held across all chunks, so no
// other call to it falls between two of them. A null input is refused unless
// nullWithoutLengthIsEmpty and the length is 0.
CK_RV runChunkedUpdate(CContext& context, const char* name, CK_SESSION_HANDLE hSession, FunctionId function,
                       const CK_BYTE* input, CK_ULONG length, bool nullWithoutLengthIsEmpty);

// OperationInit.cpp

// The fields of an init request: the mechanism as the caller carried it and,
// for operations with a key, the key's handle.
void setOperation(RpcRequest& request, const RpcMechanism& mechanism, std::optional<CK_OBJECT_HANDLE> key);
// Sign and verify init (trace line `name`, none when null): checks the
// mechanism, logs it at TRACE, starts the operation and logs a refusal at
// INFO.
CK_RV startSignVerifyOperation(CContext& context, const char* name, CK_SESSION_HANDLE hSession, FunctionId function,
                               CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE key);
// Encrypt and decrypt init: argumentsBad (called once the call is entered)
// refuses a null mechanism or a parameter length without a parameter, then
// the mechanism is carried and the operation started; the session remembers
// its mechanism once the token has taken it.
CK_RV startCipherOperation(CContext& context, const char* name, CK_SESSION_HANDLE hSession, FunctionId function,
                           CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE key,
                           const std::function<bool()>& argumentsBad);

}  // namespace vexa::pkcs11
