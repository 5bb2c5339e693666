// The request framing on its own: bytes in memory, no connection.
#include <gtest/gtest.h>

#include "ClientPacket.h"
#include "SocketClient.h"

namespace vexa::daemon {
namespace {

using corvel::ClientRequestOutcome;
using test::Bytes;
using test::MakePacket;
using test::Pattern;

struct RequestCase {
    const char* name;
    Bytes input;
    ClientRequestOutcome outcome;
    uint32_t length;  // the header's length, where a header arrived
    uint8_t command;  // the header's command type, where a header arrived
    size_t received;  // header bytes (short header) or payload bytes
};

void PrintTo(const RequestCase& c, std::ostream* out) { *out << c.name; }

Bytes Concat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class ClientRequestTest : public testing::TestWithParam<RequestCase> {};

TEST_P(ClientRequestTest, ReadsOneRequestAndNamesHowItEnded)
{
    const RequestCase& c = GetParam();
    corvel::CClientBytes source(c.input.data(), c.input.size());
    corvel::ClientPayloadBuffer payload{};
    const corvel::ClientRequest request = corvel::readClientRequest(source, payload);
    EXPECT_EQ(request.outcome, c.outcome);
    EXPECT_EQ(request.received, c.received);
    if (c.outcome == ClientRequestOutcome::ShortHeader) {
        return;
    }
    EXPECT_EQ(request.header.length, c.length);
    EXPECT_EQ(request.header.commandType, c.command);
    const size_t payloadStart = corvel::kClientHeaderSize;
    EXPECT_TRUE(std::equal(payload.begin(), payload.begin() + static_cast<long>(request.received),
                           c.input.begin() + static_cast<long>(payloadStart)));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ClientRequestTest,
    testing::Values(
        RequestCase{"Nothing", {}, ClientRequestOutcome::ShortHeader, 0, 0, 0},
        RequestCase{"FourHeaderBytes", {3, 0, 0, 0}, ClientRequestOutcome::ShortHeader, 0, 0, 4},
        RequestCase{"EmptyPayload", MakePacket({}), ClientRequestOutcome::Complete, 0, 0, 0},
        RequestCase{"LargestPayload", MakePacket(Pattern(4096)), ClientRequestOutcome::Complete, 4096, 0, 4096},
        // A second request behind the first stays unread.
        RequestCase{"FollowedByMore", Concat(MakePacket({1, 2}), MakePacket({3})), ClientRequestOutcome::Complete, 2, 0,
                    2},
        RequestCase{"OneAboveLimit", MakePacket(Pattern(4097)), ClientRequestOutcome::LengthTooBig, 4097, 0, 0},
        RequestCase{"HugeLength", MakePacket({}, 0, 0xFFFFFFFF), ClientRequestOutcome::LengthTooBig, 0xFFFFFFFF, 0, 0},
        RequestCase{"PayloadCutShort", MakePacket({1, 2, 3}, 0, 10), ClientRequestOutcome::ShortPayload, 10, 0, 3},
        RequestCase{"OtherCommandType", MakePacket({9, 8}, 0xFF), ClientRequestOutcome::OtherCommand, 2, 0xFF, 2},
        RequestCase{"OtherCommandCutShort", MakePacket({9}, 1, 2), ClientRequestOutcome::ShortPayload, 2, 1, 1}),
    [](const testing::TestParamInfo<RequestCase>& info) { return std::string(info.param.name); });

TEST(ClientRequest, RequestsFollowOneAnotherInOneSource)
{
    const Bytes input = Concat(MakePacket({1, 2}), MakePacket({3}, 4));
    corvel::CClientBytes source(input.data(), input.size());
    corvel::ClientPayloadBuffer payload{};
    EXPECT_EQ(corvel::readClientRequest(source, payload).outcome, ClientRequestOutcome::Complete);
    const corvel::ClientRequest second = corvel::readClientRequest(source, payload);
    EXPECT_EQ(second.outcome, ClientRequestOutcome::OtherCommand);
    EXPECT_EQ(payload[0], 3);
    EXPECT_EQ(corvel::readClientRequest(source, payload).received, 0u);
}

}  // namespace
}  // namespace vexa::daemon
