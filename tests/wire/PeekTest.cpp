#include <gtest/gtest.h>

#include "AllocationCounter.h"
#include "wire/Codec.h"
#include "wire/Peek.h"

using namespace vexa::wire;

namespace {

std::optional<RequestPeek> peek(const Bytes& request) { return peekRequest(request.data(), request.size()); }
std::optional<ReplyPeek> peekAtReply(const Bytes& reply) { return peekReply(reply.data(), reply.size()); }

// A request with every kind of field, so that the peek has to pass them all.
Bytes busyRequest()
{
    Request request;
    request.function = fn::UnwrapKey;
    request.session = 9;
    request.mechanism = WireMechanism{0x1090, 16, Bytes(16, 1), WireOaep{1, 2, 3, 4, Bytes(5, 6)}, std::nullopt};
    request.handle = 3;
    request.data = Bytes(300, 0xAB);
    for (uint32_t type = 0; type < 20; ++type) {
        WireAttribute attribute;
        attribute.type = type;
        attribute.valueLength = 8;
        attribute.value = Bytes(8, 0xCD);
        request.templ.push_back(attribute);
    }
    request.tokenConfig = RpcTokenConfig{true, 1, false, 0, false, 0, true, 4};
    Bytes bytes;
    EXPECT_TRUE(encodeRequest(request, bytes, 2048));
    return bytes;
}

}  // namespace

TEST(PeekTest, RequestsShowTheirFunctionAndSession)
{
    const auto onSession = peek({0x08, 0x34, 0x10, 0x05, 0x30, 0x07});
    ASSERT_TRUE(onSession);
    EXPECT_EQ(onSession->function, fn::GetObjectSize);
    EXPECT_EQ(onSession->session, 5u);

    const auto onSlot = peek({0x08, 0x0E});
    ASSERT_TRUE(onSlot);
    EXPECT_EQ(onSlot->function, fn::CloseAllSessions);
    EXPECT_FALSE(onSlot->session);

    const auto busy = peek(busyRequest());
    ASSERT_TRUE(busy);
    EXPECT_EQ(busy->function, fn::UnwrapKey);
    EXPECT_EQ(busy->session, 9u);
}

TEST(PeekTest, RepliesShowTheirResultAndHandle)
{
    const auto opened = peekAtReply({0x08, 0x00, 0x10, 0x05});
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->rv, 0u);
    EXPECT_EQ(opened->handle, 5u);

    const auto sized = peekAtReply({0x08, 0xB3, 0x01, 0x20, 0xAC, 0x02});
    ASSERT_TRUE(sized);
    EXPECT_EQ(sized->rv, 0xB3u);
    EXPECT_FALSE(sized->handle);
}

TEST(PeekTest, WhatIsNoMessageShowsNothing)
{
    const struct {
        const char* name;
        Bytes bytes;
    } requests[] = {
        {"empty", {}},
        {"no function", {0x10, 0x05}},
        {"cut short", {0x08}},
        {"function as a byte string", {0x0A, 0x01, 0x0B}},
        {"byte string beyond the end", {0x08, 0x03, 0x22, 0x05, 'a'}},
    };
    for (const auto& c : requests) {
        EXPECT_FALSE(peek(c.bytes)) << c.name;
    }
    // A session info without its device error: nested messages are read.
    EXPECT_FALSE(peekAtReply({0x08, 0x00, 0x3A, 0x04, 0x08, 0x03, 0x10, 0x06}));
    EXPECT_FALSE(peekAtReply({0x10, 0x05}));
}

// Lists are skipped unread, as a broker passes them on unchanged: the token
// decides what a broken attribute means.
TEST(PeekTest, BrokenListEntriesDoNotHideTheFunction)
{
    const Bytes request = {0x08, 0x23, 0x10, 0x02, 0x2A, 0x02, 0x10, 0x01};  // an attribute without its type
    Request decoded;
    EXPECT_FALSE(decodeRequest(request, decoded));
    const auto peeked = peek(request);
    ASSERT_TRUE(peeked);
    EXPECT_EQ(peeked->function, fn::CreateObject);
    EXPECT_EQ(peeked->session, 2u);
}

TEST(PeekTest, PeeksAllocateNothing)
{
    const Bytes request = busyRequest();
    Response response;
    response.rv = 0;
    response.handle = 77;
    response.output = Bytes(1000, 0xEE);
    response.tokenInfo = RpcTokenInfo_init_zero;
    Bytes reply;
    ASSERT_TRUE(encodeResponse(response, reply, 2048));

    allocation::startCounting();
    const auto peekedRequest = peekRequest(request.data(), request.size());
    const auto peekedReply = peekReply(reply.data(), reply.size());
    EXPECT_EQ(allocation::stopCounting(), 0u);
    ASSERT_TRUE(peekedRequest && peekedReply);
    EXPECT_EQ(peekedReply->handle, 77u);
}
