#pragma once
// The function numbers of RpcRequest.function: what the library asks of a
// token. The one place they are written; everything else says fn::Sign.
#include <cstdint>

// X(name, number) for every function, in number order. 30, 41, 47, 48 and
// 58 are not used. A new function is a line here, its row in CallTable.cpp
// (the build stops without it), the library function that sends it and the
// token's handler.
#define VEXA_WIRE_FUNCTIONS(X) \
    X(GenerateKey, 1)          \
    X(EncryptInit, 2)          \
    X(Encrypt, 3)              \
    X(DecryptInit, 4)          \
    X(Decrypt, 5)              \
    X(EncryptUpdate, 6)        \
    X(DecryptUpdate, 7)        \
    X(EncryptFinal, 8)         \
    X(DecryptFinal, 9)         \
    X(InitToken, 10)           \
    X(OpenSession, 11)         \
    X(CloseSession, 12)        \
    X(Login, 13)               \
    X(CloseAllSessions, 14)    \
    X(GenerateKeyPair, 15)     \
    X(GetAttributeValue, 16)   \
    X(GetSessionInfo, 17)      \
    X(InitPIN, 18)             \
    X(Logout, 19)              \
    X(SetPIN, 20)              \
    X(SignInit, 21)            \
    X(Sign, 22)                \
    X(VerifyInit, 23)          \
    X(Verify, 24)              \
    X(SignUpdate, 25)          \
    X(VerifyUpdate, 26)        \
    X(SignFinal, 27)           \
    X(VerifyFinal, 28)         \
    X(DigestInit, 29)          \
    X(DigestUpdate, 31)        \
    X(DigestFinal, 32)         \
    X(FindObjectsInit, 33)     \
    X(GetTokenInfo, 34)        \
    X(CreateObject, 35)        \
    X(SetAttributeValue, 36)   \
    X(FindObjects, 37)         \
    X(FindObjectsFinal, 38)    \
    X(DestroyObject, 39)       \
    X(CopyObject, 40)          \
    X(GenerateRandom, 42)      \
    X(WrapKey, 43)             \
    X(UnwrapKey, 44)           \
    X(ReadLogEntries, 45)      \
    X(SetDateTime, 46)         \
    X(DeriveKey, 49)           \
    X(DigestKey, 50)           \
    X(SeedRandom, 51)          \
    X(GetObjectSize, 52)       \
    X(GetTokenConfig, 53)      \
    X(SetTokenValue, 54)       \
    X(SetTokenByte, 55)        \
    X(SetTokenBytePair, 56)    \
    X(TokenCommand, 57)        \
    X(ReadTokenData, 59)       \
    X(WriteTokenData, 60)      \
    X(SetTokenConfigWord, 61)  \
    X(ImportBitcoinKey, 62)    \
    X(GetBitcoinPub, 63)       \
    X(SignBitcoinHash, 64)

namespace vexa::wire {
namespace fn {

// Unscoped, so that a function goes into the uint32_t field, and indexes a
// table, without a cast.
enum FunctionId : uint32_t {
#define VEXA_WIRE_ENUMERATOR(name, number) name = number,
    VEXA_WIRE_FUNCTIONS(VEXA_WIRE_ENUMERATOR)
#undef VEXA_WIRE_ENUMERATOR
};

}  // namespace fn

using fn::FunctionId;

// Every function, in number order.
inline constexpr FunctionId kFunctions[] = {
#define VEXA_WIRE_LISTED(name, number) fn::name,
    VEXA_WIRE_FUNCTIONS(VEXA_WIRE_LISTED)
#undef VEXA_WIRE_LISTED
};

inline constexpr uint32_t kLastFunction = kFunctions[sizeof kFunctions / sizeof kFunctions[0] - 1];

}  // namespace vexa::wire

namespace vexa {
// The library, the token and their tests all name functions as fn::Sign.
namespace fn = wire::fn;
using wire::FunctionId;
}  // namespace vexa
