// The application's view of an operation and the token's stay the same: an
// operation the library reports ended is ended on the token before the
// session's next request of its family; results that the caller had no room
// for are kept; replies that lack what their function needs are errors.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "CryptoFixture.h"
#include "wire/Functions.h"

using namespace vexa::pkcs11;
using namespace vexa::test;
namespace fn = vexa::wire::fn;

namespace {

class OperationStateTest : public CryptoFixture {
protected:
    // The token answers the first request with nothing (a lost reply), the
    // rest with `then`.
    void loseFirstReply(Response then)
    {
        auto answer = respondWith([then](const Request&) { return then; });
        bool lost = false;
        token().responder = [answer, lost](const Bytes& request) mutable {
            if (!lost) {
                lost = true;
                return Bytes();
            }
            return answer(request);
        };
    }

    std::vector<uint32_t> functionsSent()
    {
        std::vector<uint32_t> functions;
        for (const Request& request : sent()) {
            functions.push_back(request.function);
        }
        return functions;
    }

    CK_OBJECT_HANDLE key = 5;
};

struct FamilyCase {
    const char* name;
    std::function<CK_RV(CContext&, CK_SESSION_HANDLE)> init;
    uint32_t initFunction;
    uint32_t endFunction;
};

CK_MECHANISM kHmac{CKM_SHA256_HMAC, nullptr, 0};
CK_MECHANISM kSha256{CKM_SHA256, nullptr, 0};
CK_MECHANISM kAesEcb{CKM_AES_ECB, nullptr, 0};

const FamilyCase kFamilies[] = {
    {"Sign", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_SignInit(s, &kHmac, 5); }, fn::SignInit, fn::SignFinal},
    {"Verify", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_VerifyInit(s, &kHmac, 5); }, fn::VerifyInit,
     fn::VerifyFinal},
    {"Encrypt", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_EncryptInit(s, &kAesEcb, 5); }, fn::EncryptInit,
     fn::EncryptFinal},
    {"Decrypt", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_DecryptInit(s, &kAesEcb, 5); }, fn::DecryptInit,
     fn::DecryptFinal},
    {"Digest", [](CContext& c, CK_SESSION_HANDLE s) { return c.C_DigestInit(s, &kSha256); }, fn::DigestInit,
     fn::DigestFinal},
};

// An Init whose reply was lost may still have started the operation: the
// next Init of the family first ends it with the family's final, which has
// room for any output (or, for verification, a signature).
TEST_F(OperationStateTest, InitAfterALostInitReplyEndsTheTokensOperationFirst)
{
    for (const FamilyCase& family : kFamilies) {
        SCOPED_TRACE(family.name);
        token().requests.clear();
        loseFirstReply(status(CKR_OK));
        EXPECT_EQ(family.init(*context, session), CKR_FUNCTION_FAILED);
        EXPECT_EQ(family.init(*context, session), CKR_OK);
        const auto requests = sent();
        ASSERT_EQ(requests.size(), 3u);
        EXPECT_EQ(requests[1].function, family.endFunction);
        EXPECT_EQ(requests[1].session, kTokenSession);
        if (family.endFunction == fn::VerifyFinal) {
            EXPECT_EQ(requests[1].data, Bytes(1, 0));
        } else if (family.endFunction != fn::SignFinal) {
            EXPECT_EQ(requests[1].outputLength, 0xFFFFFFFFu);
            EXPECT_FALSE(requests[1].lengthOnly);
        }
        EXPECT_EQ(requests[2].function, family.initFunction);
        // Once ended, nothing more is sent first.
        reply(status(CKR_OK));
        EXPECT_EQ(family.init(*context, session), CKR_OK);
        EXPECT_EQ(sent().size(), 4u);
    }
}

// Nothing reaches a session's other families, nor another session.
TEST_F(OperationStateTest, OnlyThatFamilyOfThatSessionIsEnded)
{
    const CK_SESSION_HANDLE other = knownSession(0, 9);
    loseFirstReply(status(CKR_OK));
    EXPECT_EQ(context->C_SignInit(session, &kHmac, key), CKR_FUNCTION_FAILED);
    EXPECT_EQ(context->C_SignInit(other, &kHmac, key), CKR_OK);
    EXPECT_EQ(context->C_VerifyInit(session, &kHmac, key), CKR_OK);
    EXPECT_EQ(functionsSent(), (std::vector<uint32_t>{fn::SignInit, fn::SignInit, fn::VerifyInit}));
}

// The end is sent again until it gets a reply; meanwhile the Init is not
// sent, so it can never meet CKR_OPERATION_ACTIVE.
TEST_F(OperationStateTest, AnEndWithoutReplyStaysPending)
{
    loseFirstReply(status(CKR_OK));
    EXPECT_EQ(context->C_SignInit(session, &kHmac, key), CKR_FUNCTION_FAILED);
    loseFirstReply(status(CKR_OPERATION_NOT_INITIALIZED));
    EXPECT_EQ(context->C_SignInit(session, &kHmac, key), CKR_FUNCTION_FAILED);
    reply(status(CKR_OK));
    EXPECT_EQ(context->C_SignInit(session, &kHmac, key), CKR_OK);
    EXPECT_EQ(functionsSent(), (std::vector<uint32_t>{fn::SignInit, fn::SignFinal, fn::SignFinal, fn::SignInit}));
}

// A failure the token answered ended its operation itself; one made here
// (arguments, data too large for a mechanism that cannot run in parts)
// leaves the token's, which the next Init ends.
TEST_F(OperationStateTest, OnlyFailuresTheTokenDidNotAnswerAreEndedLater)
{
    CK_MECHANISM ecdsa{CKM_ECDSA, nullptr, 0};
    reply(status(CKR_OK));
    ASSERT_EQ(context->C_SignInit(session, &ecdsa, key), CKR_OK);
    reply(status(CKR_DATA_LEN_RANGE));
    std::vector<CK_BYTE> data(4500, 1);
    CK_BYTE signature[64];
    CK_ULONG length = sizeof signature;
    EXPECT_EQ(context->C_Sign(session, data.data(), 32, signature, &length), CKR_DATA_LEN_RANGE);
    reply(status(CKR_OK));
    ASSERT_EQ(context->C_SignInit(session, &ecdsa, key), CKR_OK);
    EXPECT_EQ(functionsSent(), (std::vector<uint32_t>{fn::SignInit, fn::Sign, fn::SignInit}));

    token().requests.clear();
    EXPECT_EQ(context->C_Sign(session, data.data(), data.size(), signature, &length), CKR_DATA_LEN_RANGE);
    EXPECT_EQ(exchanges(), 0u);
    EXPECT_EQ(context->C_Sign(session, data.data(), 32, signature, nullptr), CKR_ARGUMENTS_BAD);
    ASSERT_EQ(context->C_SignInit(session, &ecdsa, key), CKR_OK);
    EXPECT_EQ(functionsSent(), (std::vector<uint32_t>{fn::SignFinal, fn::SignInit}));
}

// Data beyond one message, with a mechanism that runs in parts: updates of
// 2000 bytes and a final; a buffer too small keeps the signature, which the
// next call takes without asking the token again.
TEST_F(OperationStateTest, LargeSignatureGoesInPartsAndIsKeptForACallerWithoutRoom)
{
    reply(status(CKR_OK));
    ASSERT_EQ(context->C_SignInit(session, &kHmac, key), CKR_OK);
    const Bytes mac(32, 0x3C);
    script([&](const Request& request) {
        return request.function == fn::SignFinal ? withOutput(CKR_OK, mac) : status(CKR_OK);
    });
    std::vector<CK_BYTE> data(4500, 7);
    CK_BYTE small[16];
    CK_ULONG length = sizeof small;
    EXPECT_EQ(context->C_Sign(session, data.data(), data.size(), small, &length), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 32u);
    const auto requests = sent();
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_EQ(requests[1].function, fn::SignUpdate);
    EXPECT_EQ(requests[1].data->size(), 2000u);
    EXPECT_EQ(requests[3].data->size(), 500u);
    EXPECT_EQ(requests[4].function, fn::SignFinal);

    CK_ULONG asked = 0;
    EXPECT_EQ(context->C_Sign(session, data.data(), data.size(), nullptr, &asked), CKR_OK);
    EXPECT_EQ(asked, 32u);
    Bytes room(64, 0);
    length = room.size();
    EXPECT_EQ(context->C_Sign(session, data.data(), data.size(), room.data(), &length), CKR_OK);
    ASSERT_EQ(length, 32u);
    room.resize(length);
    EXPECT_EQ(room, mac);
    EXPECT_EQ(exchanges(), 5u);
}

// C_SignFinal asks the token in every case: a length query without an
// operation gets the token's answer; with one, the token's signature is
// kept and its real length given.
TEST_F(OperationStateTest, SignFinalLengthQueryGetsTheTokensAnswer)
{
    reply(status(CKR_OPERATION_NOT_INITIALIZED));
    CK_ULONG length = 0;
    EXPECT_EQ(context->C_SignFinal(session, nullptr, &length), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(context->C_SignFinal(kUnknownSession, nullptr, &length), CKR_SESSION_HANDLE_INVALID);

    const Bytes mac(32, 0x11);
    reply(withOutput(CKR_OK, mac));
    EXPECT_EQ(context->C_SignFinal(session, nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 32u);
    CK_BYTE small[16];
    length = sizeof small;
    EXPECT_EQ(context->C_SignFinal(session, small, &length), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 32u);
    Bytes room(32, 0);
    length = room.size();
    EXPECT_EQ(context->C_SignFinal(session, room.data(), &length), CKR_OK);
    EXPECT_EQ(room, mac);
    EXPECT_EQ(exchanges(), 2u) << "the kept signature is handed out without the token";
}

// A C_Sign length query leaves the token's operation as it is: C_Sign with
// no room, answered with CKR_BUFFER_TOO_SMALL and the length.
TEST_F(OperationStateTest, SignLengthQueryAsksWithNoRoom)
{
    reply(withLength(CKR_BUFFER_TOO_SMALL, 256));
    CK_BYTE data[4] = {1, 2, 3, 4};
    CK_ULONG length = 0;
    EXPECT_EQ(context->C_Sign(session, data, sizeof data, nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 256u);
    ASSERT_EQ(sent().size(), 1u);
    EXPECT_EQ(sent()[0].outputLength, 0u);
    EXPECT_EQ(sent()[0].data, Bytes(data, data + sizeof data));
    reply(status(CKR_OPERATION_NOT_INITIALIZED));
    EXPECT_EQ(context->C_Sign(session, data, sizeof data, nullptr, &length), CKR_OPERATION_NOT_INITIALIZED);
}

// A reply with rv CKR_OK that lacks a field its function needs is not a
// success with defaults.
struct MissingFieldCase {
    const char* name;
    std::function<CK_RV(CContext&, CK_SESSION_HANDLE)> call;
    Response reply;
};

TEST_F(OperationStateTest, ReplyWithoutANeededFieldIsADeviceError)
{
    static CK_MECHANISM aesGen{CKM_AES_KEY_GEN, nullptr, 0};
    static CK_MECHANISM ecGen{CKM_EC_KEY_PAIR_GEN, nullptr, 0};
    static CK_OBJECT_CLASS dataClass = CKO_DATA;
    static CK_ATTRIBUTE object[] = {{CKA_CLASS, &dataClass, sizeof dataClass}};
    const MissingFieldCase cases[] = {
        {"C_OpenSession",
         [](CContext& c, CK_SESSION_HANDLE) {
             CK_SESSION_HANDLE opened = 0;
             return c.C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &opened);
         },
         status(CKR_OK)},
        {"C_GetSessionInfo",
         [](CContext& c, CK_SESSION_HANDLE s) {
             CK_SESSION_INFO info{};
             return c.C_GetSessionInfo(s, &info);
         },
         status(CKR_OK)},
        {"C_GetTokenInfo",
         [](CContext& c, CK_SESSION_HANDLE) {
             CK_TOKEN_INFO info{};
             return c.C_GetTokenInfo(0, &info);
         },
         status(CKR_OK)},
        {"C_GenerateKey",
         [](CContext& c, CK_SESSION_HANDLE s) {
             CK_OBJECT_HANDLE made = 0;
             return c.C_GenerateKey(s, &aesGen, object, 1, &made);
         },
         status(CKR_OK)},
        {"C_GenerateKeyPair without the private key",
         [](CContext& c, CK_SESSION_HANDLE s) {
             CK_OBJECT_HANDLE pub = 0;
             CK_OBJECT_HANDLE priv = 0;
             return c.C_GenerateKeyPair(s, &ecGen, object, 1, object, 1, &pub, &priv);
         },
         withHandles(CKR_OK, 3)},
        {"C_CreateObject",
         [](CContext& c, CK_SESSION_HANDLE s) {
             CK_OBJECT_HANDLE made = 0;
             return c.C_CreateObject(s, object, 1, &made);
         },
         status(CKR_OK)},
        {"C_CopyObject",
         [](CContext& c, CK_SESSION_HANDLE s) {
             CK_OBJECT_HANDLE made = 0;
             return c.C_CopyObject(s, 5, object, 1, &made);
         },
         status(CKR_OK)},
        {"C_GetObjectSize",
         [](CContext& c, CK_SESSION_HANDLE s) {
             CK_ULONG size = 0;
             return c.C_GetObjectSize(s, 5, &size);
         },
         status(CKR_OK)},
    };
    for (const MissingFieldCase& c : cases) {
        SCOPED_TRACE(c.name);
        reply(c.reply);
        EXPECT_EQ(c.call(*context, session), CKR_DEVICE_ERROR);
    }
}

}  // namespace
