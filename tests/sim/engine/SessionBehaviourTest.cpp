// Sessions, login, PINs, token information, random numbers.
#include "TokenBehaviour.h"

namespace vexa::test::engine {

std::string linkName(const ::testing::TestParamInfo<LinkKind>& info) { return info.param.name; }

void PrintTo(const LinkKind& kind, std::ostream* os) { *os << kind.name << " token " << kind.serial; }

namespace {

std::string text(const uint8_t* bytes, size_t size)
{
    std::string s(reinterpret_cast<const char*>(bytes), size);
    return s.erase(s.find_last_not_of(' ') + 1);
}

TEST_P(TokenBehaviour, LoginMovesTheSessionThroughItsStates)
{
    uint32_t s = token().openSession();
    Response info = call(fn::GetSessionInfo, s);
    ASSERT_EQ(info.rv, CKR_OK);
    EXPECT_EQ(info.sessionInfo->state, CKS_RW_PUBLIC_SESSION);
    EXPECT_EQ(info.sessionInfo->flags, CKF_SERIAL_SESSION | CKF_RW_SESSION);

    Response wrong = call(fn::Login, s, [](Request& r) {
        r.value = CKU_USER;
        r.data = bytesOf("654321");
    });
    EXPECT_EQ(wrong.rv, CKR_PIN_INCORRECT);

    token().login(s);
    EXPECT_EQ(call(fn::GetSessionInfo, s).sessionInfo->state, CKS_RW_USER_FUNCTIONS);
    EXPECT_EQ(call(fn::Logout, s).rv, CKR_OK);
    EXPECT_EQ(call(fn::GetSessionInfo, s).sessionInfo->state, CKS_RW_PUBLIC_SESSION);
}

TEST_P(TokenBehaviour, SessionsThatAreGoneAreRefused)
{
    uint32_t a = token().openSession(false);
    uint32_t b = token().openSession();
    EXPECT_EQ(call(fn::GetSessionInfo, a).sessionInfo->state, CKS_RO_PUBLIC_SESSION);

    EXPECT_EQ(call(fn::CloseSession, a).rv, CKR_OK);
    EXPECT_EQ(call(fn::GetSessionInfo, a).rv, CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(call(fn::CloseSession, a).rv, CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(call(fn::GetSessionInfo, b + 1000).rv, CKR_SESSION_HANDLE_INVALID);

    Request noSession;
    noSession.function = fn::GetSessionInfo;
    EXPECT_EQ(token().call(noSession).rv, CKR_SESSION_HANDLE_INVALID);

    Request closeAll;
    closeAll.function = fn::CloseAllSessions;
    EXPECT_EQ(token().call(closeAll).rv, CKR_OK);
    EXPECT_EQ(call(fn::GetSessionInfo, b).rv, CKR_SESSION_HANDLE_INVALID);
}

TEST_P(TokenBehaviour, PinsCanBeChangedAndSetByTheSecurityOfficer)
{
    uint32_t s = userSession();
    EXPECT_EQ(call(fn::SetPIN, s,
                   [](Request& r) {
                       r.data = bytesOf("000000");
                       r.data2 = bytesOf("abcdef");
                   })
                  .rv,
              CKR_PIN_INCORRECT);
    EXPECT_EQ(call(fn::SetPIN, s,
                   [](Request& r) {
                       r.data = bytesOf("123456");
                       r.data2 = bytesOf("abcdef");
                   })
                  .rv,
              CKR_OK);
    call(fn::Logout, s);
    token().login(s, "abcdef");
    call(fn::Logout, s);

    token().login(s, "12345678", CKU_SO);
    EXPECT_EQ(call(fn::InitPIN, s, [](Request& r) { r.data = bytesOf("777777"); }).rv, CKR_OK);
    call(fn::Logout, s);
    token().login(s, "777777");
}

TEST_P(TokenBehaviour, TokenInfoNamesTheTokenAndCarriesItsClock)
{
    Request setClock;
    setClock.function = fn::SetDateTime;
    setClock.handle = 1700000000;  // 2023-11-14 22:13:20 UTC
    ASSERT_EQ(token().call(setClock).rv, CKR_OK);

    Request req;
    req.function = fn::GetTokenInfo;
    Response resp = token().call(req);
    ASSERT_EQ(resp.rv, CKR_OK);
    ASSERT_TRUE(resp.tokenInfo);
    const RpcTokenInfo& t = *resp.tokenInfo;
    EXPECT_EQ(text(t.label.bytes, t.label.size), "Vexa " + GetParam().serial);
    EXPECT_EQ(text(t.manufacturerID.bytes, t.manufacturerID.size), "corvelWorks");
    EXPECT_EQ(text(t.model.bytes, t.model.size), GetParam().product);
    EXPECT_EQ(text(t.serialNumber.bytes, t.serialNumber.size), GetParam().serial);
    EXPECT_EQ(t.label.size, 32u);
    EXPECT_EQ(t.serialNumber.size, 16u);
    const uint32_t expected =
        CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED | CKF_CLOCK_ON_TOKEN | CKF_LOGIN_REQUIRED | CKF_RNG;
    EXPECT_EQ(t.flags & expected, expected);
    ASSERT_EQ(t.utcTime.size, 16u);
    // The clock runs on: compare down to the tens of seconds.
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(t.utcTime.bytes), 13), "2023111422132");
}

TEST_P(TokenBehaviour, RandomComesInChunksThatFitOneReply)
{
    uint32_t s = token().openSession();
    Response r = call(fn::GenerateRandom, s, [](Request& q) { q.outputLength = 1024; });
    ASSERT_EQ(r.rv, CKR_OK);
    ASSERT_EQ(r.output->size(), 1024u);
    EXPECT_NE(*r.output, Bytes(1024, 0));
    EXPECT_EQ(call(fn::GenerateRandom, s, [](Request& q) { q.outputLength = 4096; }).rv, CKR_DATA_LEN_RANGE);
    EXPECT_EQ(call(fn::SeedRandom, s, [](Request& q) { q.data = bytesOf("more entropy"); }).rv, CKR_OK);
    EXPECT_EQ(call(fn::GenerateRandom, s + 99, [](Request& q) { q.outputLength = 8; }).rv, CKR_SESSION_HANDLE_INVALID);
}

TEST_P(TokenBehaviour, InitTokenStartsOverWithANewLabel)
{
    uint32_t s = userSession();
    token().create(s, {number(CKA_CLASS, CKO_DATA), flag(CKA_TOKEN, true), bytes(CKA_LABEL, bytesOf("old"))});
    // C_InitToken needs the token without open sessions.
    Request init;
    init.function = fn::InitToken;
    init.data = bytesOf("12345678");
    Bytes label = bytesOf("Renamed");
    label.resize(32, ' ');
    init.data2 = label;
    EXPECT_EQ(token().call(init).rv, CKR_SESSION_EXISTS);
    call(fn::CloseSession, s);

    init.data = bytesOf("87654321");
    EXPECT_EQ(token().call(init).rv, CKR_PIN_INCORRECT);
    init.data = bytesOf("12345678");
    ASSERT_EQ(token().call(init).rv, CKR_OK);

    Request info;
    info.function = fn::GetTokenInfo;
    const RpcTokenInfo t = *token().call(info).tokenInfo;
    EXPECT_EQ(text(t.label.bytes, t.label.size), "Renamed");
    EXPECT_FALSE(t.flags & CKF_USER_PIN_INITIALIZED);

    s = token().openSession();
    token().login(s, "12345678", CKU_SO);
    EXPECT_TRUE(token().find(s, {bytes(CKA_LABEL, bytesOf("old"))}).empty());
}

}  // namespace
}  // namespace vexa::test::engine
