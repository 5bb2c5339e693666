#pragma once
#include <cstdint>

namespace vexa::sim::engine::fn {

constexpr uint32_t GenerateKey = 1, EncryptInit = 2, Encrypt = 3, DecryptInit = 4, Decrypt = 5, EncryptUpdate = 6,
                   DecryptUpdate = 7, EncryptFinal = 8, DecryptFinal = 9, InitToken = 10, OpenSession = 11,
                   CloseSession = 12, Login = 13, CloseAllSessions = 14, GenerateKeyPair = 15, GetAttributeValue = 16,
                   GetSessionInfo = 17, InitPIN = 18, Logout = 19, SetPIN = 20, SignInit = 21, Sign = 22,
                   VerifyInit = 23, Verify = 24, SignUpdate = 25, VerifyUpdate = 26, SignFinal = 27, VerifyFinal = 28,
                   DigestInit = 29, DigestUpdate = 31, DigestFinal = 32, FindObjectsInit = 33, GetTokenInfo = 34,
                   CreateObject = 35, SetAttributeValue = 36, FindObjects = 37, FindObjectsFinal = 38,
                   DestroyObject = 39, CopyObject = 40, GenerateRandom = 42, WrapKey = 43, UnwrapKey = 44,
                   ReadLogEntries = 45, SetDateTime = 46, DeriveKey = 49, DigestKey = 50, SeedRandom = 51,
                   GetObjectSize = 52, GetTokenConfig = 53, SetTokenValue = 54, SetTokenByte = 55,
                   SetTokenBytePair = 56, TokenCommand = 57, ReadTokenData = 59, WriteTokenData = 60,
                   SetTokenConfigWord = 61, ImportBitcoinKey = 62, GetBitcoinPub = 63, SignBitcoinHash = 64;

}  // namespace vexa::sim::engine::fn
