#include "wire/CallTable.h"

#include <array>
#include <initializer_list>

namespace vexa::wire {
namespace {

using In = RequestField;
using Out = ReplyField;
constexpr Target kSession = Target::Session;
constexpr Target kSlot = Target::Slot;

constexpr ReplyUse needed(ReplyField field, const char* meaning) { return {field, meaning, true}; }
constexpr ReplyUse optional(ReplyField field, const char* meaning) { return {field, meaning, false}; }

// The output convention of the data functions: `output` only when the
// caller gave a buffer, `outputLength` the size the result has or needs.
constexpr ReplyUse kOutputLength = optional(Out::OutputLength, "length of the result, or the length it needs");
constexpr RequestUse kLengthOnly = {In::LengthOnly, "the caller asks for the length alone"};
constexpr RequestUse kCapacity = {In::OutputLength, "length of the caller's output buffer"};

constexpr Call call(FunctionId id, const char* name, Target target, std::initializer_list<RequestUse> request,
                    std::initializer_list<ReplyUse> reply = {}, uint8_t effects = kNoSessionEffect)
{
    Call row{id, name, target, effects, {}, {}};
    size_t i = 0;
    for (const RequestUse& use : request) {
        row.request[i++] = use;  // beyond the list's room: not a constant, so no build
    }
    i = 0;
    for (const ReplyUse& use : reply) {
        row.reply[i++] = use;
    }
    return row;
}

// In function number order; findCall indexes it by number.
constexpr Call kRows[] = {
    call(fn::GenerateKey, "C_GenerateKey", kSession,
         {{In::Mechanism, "key generation mechanism"}, {In::Template, "the new key's attributes"}},
         {needed(Out::Handle, "the new key")}),
    call(fn::EncryptInit, "C_EncryptInit", kSession,
         {{In::Mechanism, "encryption mechanism"}, {In::Handle, "the key"}}),
    call(fn::Encrypt, "C_Encrypt", kSession, {{In::Data, "the plaintext"}, kLengthOnly, kCapacity},
         {optional(Out::Output, "the ciphertext"), kOutputLength}),
    call(fn::DecryptInit, "C_DecryptInit", kSession,
         {{In::Mechanism, "decryption mechanism"}, {In::Handle, "the key"}}),
    call(fn::Decrypt, "C_Decrypt", kSession, {{In::Data, "the ciphertext"}, kLengthOnly, kCapacity},
         {optional(Out::Output, "the plaintext"), kOutputLength}),
    call(fn::EncryptUpdate, "C_EncryptUpdate", kSession,
         {{In::Data, "the next part of the plaintext"}, kLengthOnly, kCapacity},
         {optional(Out::Output, "ciphertext so far"), kOutputLength}),
    call(fn::DecryptUpdate, "C_DecryptUpdate", kSession,
         {{In::Data, "the next part of the ciphertext"}, kLengthOnly, kCapacity},
         {optional(Out::Output, "plaintext so far"), kOutputLength}),
    call(fn::EncryptFinal, "C_EncryptFinal", kSession, {kLengthOnly, kCapacity},
         {optional(Out::Output, "the last ciphertext"), kOutputLength}),
    call(fn::DecryptFinal, "C_DecryptFinal", kSession, {kLengthOnly, kCapacity},
         {optional(Out::Output, "the last plaintext"), kOutputLength}),
    call(fn::InitToken, "C_InitToken", kSlot,
         {{In::Data, "the security officer's PIN"}, {In::Data2, "the token label, 32 bytes padded with spaces"}}),
    call(fn::OpenSession, "C_OpenSession", kSlot, {{In::Value, "session flags"}},
         {needed(Out::Handle, "the token's number of the new session")}, kOpensSession),
    call(fn::CloseSession, "C_CloseSession", kSession, {}, {}, kClosesSession),
    call(fn::Login, "C_Login", kSession, {{In::Value, "user type"}, {In::Data, "the PIN"}}),
    call(fn::CloseAllSessions, "C_CloseAllSessions", kSlot, {}, {}, kClosesAllSessions),
    call(fn::GenerateKeyPair, "C_GenerateKeyPair", kSession,
         {{In::Mechanism, "key pair generation mechanism"},
          {In::Template, "the public key's attributes"},
          {In::Template2, "the private key's attributes"}},
         {needed(Out::Handle, "the public key"), needed(Out::Handle2, "the private key")}),
    call(fn::GetAttributeValue, "C_GetAttributeValue", kSession,
         {{In::Handle, "the object"}, {In::Template, "the attribute types asked for, without values"}},
         {optional(Out::Attributes, "the values the token reveals, or their lengths")}),
    call(fn::GetSessionInfo, "C_GetSessionInfo", kSession, {},
         {needed(Out::SessionInfo, "state, flags and device error")}),
    call(fn::InitPIN, "C_InitPIN", kSession, {{In::Data, "the user's new PIN"}}),
    call(fn::Logout, "C_Logout", kSession, {}),
    call(fn::SetPIN, "C_SetPIN", kSession, {{In::Data, "the old PIN"}, {In::Data2, "the new PIN"}}),
    call(fn::SignInit, "C_SignInit", kSession, {{In::Mechanism, "signature mechanism"}, {In::Handle, "the key"}}),
    call(fn::Sign, "C_Sign", kSession,
         {{In::Data, "the data to sign"},
          {In::OutputLength, "length of the caller's signature buffer; 0 asks the length"}},
         {optional(Out::Output, "the signature"), kOutputLength}),
    call(fn::VerifyInit, "C_VerifyInit", kSession,
         {{In::Mechanism, "verification mechanism"}, {In::Handle, "the key"}}),
    call(fn::Verify, "C_Verify", kSession, {{In::Data, "the signed data"}, {In::Data2, "the signature"}}),
    call(fn::SignUpdate, "C_SignUpdate", kSession, {{In::Data, "one chunk of the data, at most 2000 bytes"}}),
    call(fn::VerifyUpdate, "C_VerifyUpdate", kSession, {{In::Data, "one chunk of the data, at most 2000 bytes"}}),
    call(fn::SignFinal, "C_SignFinal", kSession, {}, {optional(Out::Output, "the signature")}),
    call(fn::VerifyFinal, "C_VerifyFinal", kSession, {{In::Data, "the signature"}}),
    call(fn::DigestInit, "C_DigestInit", kSession, {{In::Mechanism, "digest mechanism"}}),
    call(fn::DigestUpdate, "C_DigestUpdate", kSession, {{In::Data, "one chunk of the data, at most 2000 bytes"}}),
    call(fn::DigestFinal, "C_DigestFinal", kSession, {kLengthOnly, kCapacity},
         {optional(Out::Output, "the digest"), kOutputLength}),
    call(fn::FindObjectsInit, "C_FindObjectsInit", kSession,
         {{In::Template, "the attributes to match; none matches every object"}}),
    call(fn::GetTokenInfo, "C_GetTokenInfo", kSlot, {}, {needed(Out::TokenInfo, "the token's description")}),
    call(fn::CreateObject, "C_CreateObject", kSession, {{In::Template, "the new object's attributes"}},
         {needed(Out::Handle, "the new object")}),
    call(fn::SetAttributeValue, "C_SetAttributeValue", kSession,
         {{In::Handle, "the object"}, {In::Template, "the attributes to set"}}),
    call(fn::FindObjects, "C_FindObjects", kSession, {{In::OutputLength, "the most handles to return"}},
         {optional(Out::Output, "the handles found, each 4 bytes little-endian")}),
    call(fn::FindObjectsFinal, "C_FindObjectsFinal", kSession, {}),
    call(fn::DestroyObject, "C_DestroyObject", kSession, {{In::Handle, "the object"}}),
    call(fn::CopyObject, "C_CopyObject", kSession,
         {{In::Handle, "the object to copy"}, {In::Template, "attributes the copy changes"}},
         {needed(Out::Handle, "the copy")}),
    call(fn::GenerateRandom, "C_GenerateRandom", kSession, {{In::OutputLength, "how many bytes, at most 1024"}},
         {optional(Out::Output, "the random bytes")}),
    call(fn::WrapKey, "C_WrapKey", kSession,
         {{In::Mechanism, "wrapping mechanism"},
          {In::Handle, "the key to wrap"},
          {In::Handle2, "the wrapping key"},
          {In::OutputLength, "length of the caller's buffer"}},
         {optional(Out::Output, "the wrapped key"), kOutputLength}),
    call(fn::UnwrapKey, "C_UnwrapKey", kSession,
         {{In::Mechanism, "unwrapping mechanism"},
          {In::Handle, "the unwrapping key"},
          {In::Data, "the wrapped key"},
          {In::Template, "the new key's attributes"}},
         {needed(Out::Handle, "the new key")}),
    call(fn::ReadLogEntries, "bReadLogEntries", kSlot, {{In::OutputLength, "length of the caller's buffer"}},
         {optional(Out::Output, "the token's log entries"), optional(Out::OutputLength, "length of the entries")}),
    call(fn::SetDateTime, "bSetDateTime", kSlot, {{In::Handle, "seconds since 1970"}}),
    call(fn::DeriveKey, "C_DeriveKey", kSession,
         {{In::Mechanism, "derivation mechanism"},
          {In::Handle, "the base key"},
          {In::Template, "the new key's attributes"}},
         {needed(Out::Handle, "the new key")}),
    call(fn::DigestKey, "C_DigestKey", kSession, {{In::Handle, "the key to digest"}}),
    call(fn::SeedRandom, "C_SeedRandom", kSession, {{In::Data, "the seed"}}),
    call(fn::GetObjectSize, "C_GetObjectSize", kSession, {{In::Handle, "the object"}},
         {needed(Out::OutputLength, "the object's size; 0xFFFFFFFF when unknown")}),
    call(fn::GetTokenConfig, "u32GetTokenConfig", kSlot, {},
         {needed(Out::TokenConfig, "the four configuration values")}),
    call(fn::SetTokenValue, "u32SetTokenValue", kSlot,
         {{In::Handle, "which value, one byte"}, {In::Value, "the value"}}),
    call(fn::SetTokenByte, "u32SetTokenByte", kSlot, {{In::Handle, "the byte"}}),
    call(fn::SetTokenBytePair, "u32SetTokenBytePair", kSlot,
         {{In::Handle, "the first byte"}, {In::Handle2, "the second byte"}}),
    call(fn::TokenCommand, "u32TokenCommand", kSlot, {}),
    call(fn::ReadTokenData, "u32ReadTokenData", kSlot,
         {{In::OutputLength, "room left in the caller's buffer"},
          {In::Handle, "where to go on reading, from the second chunk on"}},
         {optional(Out::Output, "the next chunk"), optional(Out::Handle, "where the next chunk starts")}),
    call(fn::WriteTokenData, "u32WriteTokenData", kSlot,
         {{In::Handle, "total length of the data"},
          {In::Data, "one chunk, at most 1536 bytes"},
          {In::Handle2, "offset of the chunk's end"}}),
    call(fn::SetTokenConfigWord, "u32SetTokenConfigWord", kSlot, {{In::TokenConfig, "config4 alone: the 16-bit word"}}),
    call(fn::ImportBitcoinKey, "u32ImportBitcoinKey", kSession, {{In::Data, "the key bytes"}}),
    call(fn::GetBitcoinPub, "u32GetBitcoinPub", kSession,
         {{In::Data, "derivation path, 4 bytes big-endian per step"},
          {In::OutputLength, "length of the caller's buffer"}},
         {optional(Out::Output, "the public key")}),
    call(fn::SignBitcoinHash, "u32SignBitcoinHash", kSession,
         {{In::Data, "derivation path, 4 bytes big-endian per step"},
          {In::Data2, "the hash to sign"},
          {In::OutputLength, "length of the caller's buffer"}},
         {optional(Out::Output, "the signature")}),
};

constexpr std::array<Call, kLastFunction + 1> indexById()
{
    std::array<Call, kLastFunction + 1> byId{};
    for (const Call& row : kRows) {
        byId[row.id] = row;
    }
    return byId;
}

constexpr std::array<Call, kLastFunction + 1> kById = indexById();

constexpr bool everyFunctionHasItsRow()
{
    size_t rows = 0;
    for (FunctionId id : kFunctions) {
        rows += kById[id].name != nullptr && kById[id].id == id ? 1 : 0;
    }
    return rows == sizeof kFunctions / sizeof kFunctions[0] && rows == sizeof kRows / sizeof kRows[0];
}
static_assert(everyFunctionHasItsRow(), "one row per function, none for a number without one");

}  // namespace

const Call* findCall(uint32_t function)
{
    return function < kById.size() && kById[function].name != nullptr ? &kById[function] : nullptr;
}

}  // namespace vexa::wire
