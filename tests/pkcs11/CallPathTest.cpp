#include <gtest/gtest.h>
#include <pb_decode.h>
#include <pb_encode.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "AttributeCodec.h"
#include "ContextFixture.h"
#include "FakeDaemon.h"
#include "FieldCallbacks.h"

using namespace vexa::pkcs11;
using vexa::test::ContextFixture;

namespace {

using Bytes = std::vector<uint8_t>;

class CallPathTest : public ContextFixture {
protected:
    void SetUp() override
    {
        tokens = useTokens(1);
        ASSERT_EQ(context->C_Initialize(nullptr), CKR_OK);
        token().requests.clear();
        token().calls.clear();
    }

    vexa::test::FakeToken& token() { return *tokens[0]; }

    void replyWith(Bytes reply)
    {
        token().responder = [reply](const Bytes&) { return reply; };
    }

    RpcResponse call(RpcRequest& request)
    {
        RpcResponse response = RpcResponse_init_zero;
        context->callPath().callToken(0, request, response, true);
        return response;
    }

    std::vector<std::shared_ptr<vexa::test::FakeToken>> tokens;
};

struct WireCase {
    const char* name;
    void (*fill)(RpcRequest&);
    Bytes expected;
};

void PrintTo(const WireCase& wireCase, std::ostream* out) { *out << wireCase.name; }

// Kept alive while a case is encoded.
ByteSpan g_abc{"abc", 3};
CK_MECHANISM g_nullParameter{0x250, nullptr, 0};
CK_MECHANISM g_nullParameterWithLength{0x250, nullptr, 16};

const WireCase kWireCases[] = {
    {"OnlyFunction", [](RpcRequest& r) { r.function = 14; }, {0x08, 0x0E}},
    {"GetObjectSizeInTagOrder",
     [](RpcRequest& r) {
         r.function = 52;
         r.has_session = true;
         r.session = 5;
         r.has_handle = true;
         r.handle = 7;
     },
     {0x08, 0x34, 0x10, 0x05, 0x30, 0x07}},
    {"BytesFromTheCallersMemory",
     [](RpcRequest& r) {
         r.function = 3;
         setBytes(r.data, g_abc);
     },
     {0x08, 0x03, 0x22, 0x03, 0x61, 0x62, 0x63}},
    {"NullMechanismParameterIsSentEmpty",
     [](RpcRequest& r) {
         r.function = 29;
         r.has_mechanism = true;
         r.mechanism.type = 0x250;
         setMechanismParameter(r.mechanism.parameter, g_nullParameter);
     },
     {0x08, 0x1D, 0x1A, 0x05, 0x08, 0xD0, 0x04, 0x1A, 0x00}},
    {"NullMechanismParameterIgnoresItsLength",
     [](RpcRequest& r) {
         r.function = 29;
         r.has_mechanism = true;
         r.mechanism.type = 0x250;
         setMechanismParameter(r.mechanism.parameter, g_nullParameterWithLength);
     },
     {0x08, 0x1D, 0x1A, 0x05, 0x08, 0xD0, 0x04, 0x1A, 0x00}},
    {"LengthOnlyAndOutputLength",
     [](RpcRequest& r) {
         r.function = 3;
         r.has_lengthOnly = true;
         r.lengthOnly = true;
         r.has_outputLength = true;
         r.outputLength = low32(0x100000100ull);
     },
     {0x08, 0x03, 0x38, 0x01, 0x58, 0x80, 0x02}},
};

class WireTest : public CallPathTest, public ::testing::WithParamInterface<WireCase> {};

TEST_P(WireTest, EncodesExactly)
{
    RpcRequest request = RpcRequest_init_zero;
    GetParam().fill(request);
    call(request);
    ASSERT_EQ(token().requests.size(), 1u);
    EXPECT_EQ(token().requests[0], GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Requests, WireTest, ::testing::ValuesIn(kWireCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CallPathTest, CloseAllSessionsSendsOnlyItsFunction)
{
    EXPECT_EQ(context->C_CloseAllSessions(0), CKR_OK);
    ASSERT_EQ(token().requests.size(), 1u);
    EXPECT_EQ(token().requests[0], (Bytes{0x08, 0x0E}));
    EXPECT_EQ(context->C_CloseAllSessions(1), CKR_SLOT_ID_INVALID);
    EXPECT_EQ(context->C_CloseAllSessions(0x100000000ull), CKR_SLOT_ID_INVALID) << "slot ids are not cut to 32 bits";
    EXPECT_EQ(token().requests.size(), 1u);
}

TEST_F(CallPathTest, DecodesRvAndOutputLength)
{
    replyWith({0x08, 0x00, 0x20, 0xAC, 0x02});
    RpcRequest request = RpcRequest_init_zero;
    request.function = 52;
    const RpcResponse response = call(request);
    EXPECT_EQ(response.rv, CKR_OK);
    ASSERT_TRUE(response.has_outputLength);
    EXPECT_EQ(response.outputLength, 300u);
    EXPECT_FALSE(response.has_handle);
}

TEST_F(CallPathTest, TokenResultPassesUnchanged)
{
    replyWith({0x08, 0xA0, 0x01});
    RpcRequest request = RpcRequest_init_zero;
    request.function = 13;
    EXPECT_EQ(call(request).rv, CKR_PIN_INCORRECT);
}

// Function 3 with n data bytes encodes to n + 5 bytes once n is above 127.
TEST_F(CallPathTest, RequestOver2048BytesIsRefusedBeforeTheTransport)
{
    struct Case {
        uint32_t dataLength;
        CK_RV rv;
        size_t sent;
    };
    for (const Case& c : {Case{2043, CKR_OK, 1}, Case{2044, CKR_DATA_LEN_RANGE, 0}}) {
        token().requests.clear();
        token().calls.clear();
        std::vector<uint8_t> data(c.dataLength, 0x11);
        ByteSpan span{data.data(), c.dataLength};
        RpcRequest request = RpcRequest_init_zero;
        request.function = 3;
        setBytes(request.data, span);
        EXPECT_EQ(call(request).rv, c.rv) << c.dataLength;
        EXPECT_EQ(token().requests.size(), c.sent) << c.dataLength;
        if (c.sent == 0) {
            EXPECT_TRUE(token().calls.empty());
            EXPECT_TRUE(logged("stream full"));
        }
    }
}

// The template writer clears the length of an attribute sent without a value
// as it writes it, so the request must be encoded once: a second pass (to
// learn its size, say) would send a length of 0.
TEST_F(CallPathTest, RequestIsEncodedOnceSoATemplateKeepsItsLengths)
{
    const auto fill = [](RpcRequest& request, AttributeTemplate& attributes) {
        request.function = 35;
        setTemplate(request.template_, attributes);
    };
    CK_ATTRIBUTE sent[] = {{CKA_VALUE, nullptr, 16}};
    AttributeTemplate sentTemplate{sent, 1};
    RpcRequest request = RpcRequest_init_zero;
    fill(request, sentTemplate);
    call(request);

    CK_ATTRIBUTE expected[] = {{CKA_VALUE, nullptr, 16}};
    AttributeTemplate expectedTemplate{expected, 1};
    RpcRequest reference = RpcRequest_init_zero;
    fill(reference, expectedTemplate);
    uint8_t buffer[64];
    pb_ostream_t stream = pb_ostream_from_buffer(buffer, sizeof buffer);
    ASSERT_TRUE(pb_encode(&stream, RpcRequest_fields, &reference));
    ASSERT_EQ(token().requests.size(), 1u);
    EXPECT_EQ(token().requests[0], Bytes(buffer, buffer + stream.bytes_written));
    EXPECT_EQ(sent[0].ulValueLen, 0u);
}

TEST_F(CallPathTest, MissingBytesArgumentFailsTheEncoding)
{
    RpcRequest request = RpcRequest_init_zero;
    request.function = 3;
    request.data.funcs.encode = writeBytes;
    EXPECT_EQ(call(request).rv, CKR_FUNCTION_FAILED);
    EXPECT_TRUE(logged("missing bytes argument"));
    EXPECT_TRUE(token().requests.empty());
}

TEST_F(CallPathTest, ASlotThatIsNotThereFailsWithPortNotFound)
{
    for (const CK_SLOT_ID slot : {CK_SLOT_ID{1}, CK_SLOT_ID{0xFFFFFF}, CK_SLOT_ID{0x100000000ull}}) {
        RpcRequest request = RpcRequest_init_zero;
        request.function = 14;
        RpcResponse response = RpcResponse_init_zero;
        context->callPath().callToken(slot, request, response, true);
        EXPECT_EQ(response.rv, CKR_FUNCTION_FAILED) << slot;
        const auto messages = logMessages();
        ASSERT_GE(messages.size(), 2u);
        EXPECT_EQ(messages[messages.size() - 2], "Port not found");
        EXPECT_EQ(messages.back(), "no response from transport.");
    }
    EXPECT_TRUE(token().calls.empty());
}

TEST_F(CallPathTest, EmptyReplyFailsAndLeavesTheTransportOpen)
{
    replyWith({});
    RpcRequest request = RpcRequest_init_zero;
    request.function = 14;
    EXPECT_EQ(call(request).rv, CKR_FUNCTION_FAILED);
    EXPECT_TRUE(logged("no response from transport."));
    EXPECT_TRUE(token().open);
}

TEST_F(CallPathTest, OpensOnlyAClosedTransport)
{
    RpcRequest request = RpcRequest_init_zero;
    request.function = 14;
    call(request);
    EXPECT_EQ(token().calls, (std::vector<std::string>{"write", "read"}));
    token().open = false;
    token().calls.clear();
    call(request);
    EXPECT_EQ(token().calls, (std::vector<std::string>{"open", "write", "read"}));
}

TEST_F(CallPathTest, ExceptionsOnOpenBecomeFunctionFailedAndReleaseTheLock)
{
    struct Case {
        const char* throwOnOpen;
        bool nonStandard;
        const char* logLine;
    };
    for (const Case& c :
         {Case{"Device not detected", false, "Device not detected"}, Case{"", true, "Failed to transmit command."}}) {
        token().open = false;
        token().throwOnOpen = c.throwOnOpen;
        token().throwNonStandard = c.nonStandard;
        RpcRequest request = RpcRequest_init_zero;
        request.function = 14;
        EXPECT_EQ(call(request).rv, CKR_FUNCTION_FAILED);
        EXPECT_TRUE(logged(c.logLine)) << c.logLine;
        EXPECT_EQ(logMessages().back(), "no response from transport.");
    }
    token().throwOnOpen.clear();
    token().throwNonStandard = false;
    RpcRequest request = RpcRequest_init_zero;
    request.function = 14;
    EXPECT_EQ(call(request).rv, CKR_OK) << "the exchange lock was released after the failures";
}

// What the library makes of each kind of transport failure: the call fails
// with CKR_FUNCTION_FAILED and logs the failure, then "no response from
// transport."; a transport that closed itself is opened again by the next
// call, one that stayed open is used as it is.
struct FailureCase {
    const char* name;
    const char* step;  // "open", "write" or "read"
    vexa::test::InjectedFailure failure;
    std::vector<std::string> calls;  // what the failing call did to the transport
};

void PrintTo(const FailureCase& failureCase, std::ostream* out) { *out << failureCase.name; }

class TransportFailureTest : public CallPathTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(TransportFailureTest, FailsTheCallAndTheNextCallGetsThrough)
{
    const FailureCase& c = GetParam();
    const std::string step = c.step;
    if (step == "open") {
        token().open = false;
        token().throwOnOpen = c.failure.message;
    } else {
        (step == "write" ? token().failWrite : token().failRead) = c.failure;
    }
    EXPECT_EQ(context->C_CloseAllSessions(0), CKR_FUNCTION_FAILED);
    const auto messages = logMessages();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages[messages.size() - 2], c.failure.message);
    EXPECT_EQ(messages.back(), "no response from transport.");
    EXPECT_EQ(token().calls, c.calls);
    const bool closed = step == "open" || c.failure.closes;
    EXPECT_EQ(token().open, !closed);

    token().throwOnOpen.clear();
    token().calls.clear();
    EXPECT_EQ(context->C_CloseAllSessions(0), CKR_OK);
    EXPECT_EQ(token().calls.front(), closed ? "open" : "write");
}

using corvel::TransportFailure;
using vexa::test::InjectedFailure;

INSTANTIATE_TEST_SUITE_P(
    Kinds, TransportFailureTest,
    ::testing::Values(
        FailureCase{"Unreachable", "open", {TransportFailure::Unreachable, "Device not detected"}, {"open"}},
        FailureCase{"TimedOutOnAStream",
                    "read",
                    {TransportFailure::TimedOut, "No reply from the daemon within the time-out", true},
                    {"write", "read", "close"}},
        FailureCase{"TimedOutOnADevice",
                    "read",
                    {TransportFailure::TimedOut, "No HID reply within the time-out"},
                    {"write", "read"}},
        FailureCase{"BrokenFraming",
                    "read",
                    {TransportFailure::BrokenFraming, "Broken U2FHID continuation sequence"},
                    {"write", "read"}},
        FailureCase{
            "TooLongRequest", "write", {TransportFailure::TooLong, "Request too long for a client packet"}, {"write"}},
        FailureCase{"TooLongReply",
                    "read",
                    {TransportFailure::TooLong, "Reply longer than the read buffer", true},
                    {"write", "read", "close"}},
        FailureCase{"ClosedOnRead",
                    "read",
                    {TransportFailure::Closed, "Connection closed by the daemon", true},
                    {"write", "read", "close"}}),
    [](const auto& info) { return std::string(info.param.name); });

// A write that finds its connection or device gone (a daemon restarted, a
// token plugged in again) goes once more over a fresh one in the same call;
// when that cannot be had, the call fails.
TEST_F(CallPathTest, WriteThatFindsTheConnectionGoneIsSentOnceMoreOverAFreshOne)
{
    token().failWrite = InjectedFailure{TransportFailure::Closed, "Socket write error 32", true};
    EXPECT_EQ(context->C_CloseAllSessions(0), CKR_OK);
    EXPECT_EQ(token().calls, (std::vector<std::string>{"write", "close", "open", "write", "read"}));
    EXPECT_EQ(token().requests, (std::vector<Bytes>{{0x08, 0x0E}}));

    token().calls.clear();
    token().failWrite = InjectedFailure{TransportFailure::Closed, "Socket write error 32", true};
    token().throwOnOpen = "No daemon at the socket";
    EXPECT_EQ(context->C_CloseAllSessions(0), CKR_FUNCTION_FAILED);
    EXPECT_EQ(token().calls, (std::vector<std::string>{"write", "close", "open"}));
    EXPECT_TRUE(logged("Socket write error 32"));
    EXPECT_TRUE(logged("No daemon at the socket"));
}

// The real length check, not an injected one: a reply longer than the
// exchange buffer is never decoded in part.
TEST_F(CallPathTest, ReplyLongerThanTheExchangeBufferFails)
{
    Bytes reply{0x08, 0x00, 0x1A, 0x80, 0x10};
    reply.resize(reply.size() + 2048, 0x55);
    replyWith(reply);
    RpcRequest request = RpcRequest_init_zero;
    request.function = 42;
    EXPECT_EQ(call(request).rv, CKR_FUNCTION_FAILED);
    EXPECT_TRUE(logged("Reply longer than the read buffer"));
}

// The same through the daemon's socket: the over-long reply fails its call,
// and no byte of it reaches the next call, which gets exactly its own reply.
TEST(CallPathOverASocket, CallAfterAnOverLongReplyGetsItsOwn)
{
    vexa::test::TempDir dir;
    std::ofstream(dir.file("vexaconfig.json"))
        << R"({"transport": {"unix": true, "sockdir": ")" << dir.path() << R"("}})";
    int asked = 0;
    vexa::test::FakeUnixDaemon daemon(dir.file("vexa.0123456789AB.sock"), [&asked](const Bytes& payload) {
        if (payload.size() < 2 || payload[1] != 42) {
            return vexa::test::FakeReply::send({0x08, 0x00});
        }
        if (++asked == 1) {
            // rv 0, then an output of 2100 bytes: more than the exchange buffer.
            Bytes reply{0x08, 0x00, 0x1A, 0xB4, 0x10};
            reply.resize(reply.size() + 2100, 0x10);
            return vexa::test::FakeReply::send(reply);
        }
        return vexa::test::FakeReply::send({0x08, 0x00, 0x10, static_cast<uint8_t>(asked)});  // handle = asked
    });
    CContext context(dir.path() + "/");
    ASSERT_EQ(context.C_Initialize(nullptr), CKR_OK);
    for (const auto& [rv, handle] : {std::pair<CK_RV, uint32_t>{CKR_FUNCTION_FAILED, 0}, {CKR_OK, 2}, {CKR_OK, 3}}) {
        RpcRequest request = RpcRequest_init_zero;
        request.function = 42;
        RpcResponse response = RpcResponse_init_zero;
        context.callPath().callToken(0, request, response, true);
        EXPECT_EQ(response.rv, rv);
        EXPECT_EQ(response.has_handle, handle != 0);
        EXPECT_EQ(response.handle, handle);
    }
    EXPECT_EQ(context.C_Finalize(nullptr), CKR_OK);
}

TEST_F(CallPathTest, OutputMustFitItsReader)
{
    struct Case {
        uint32_t capacity;
        CK_RV rv;
    };
    for (const Case& c : {Case{5, CKR_OK}, Case{4, CKR_FUNCTION_FAILED}}) {
        replyWith({0x08, 0x00, 0x1A, 0x05, 1, 2, 3, 4, 5});
        uint8_t buffer[8] = {};
        OutputBuffer output{buffer, c.capacity};
        RpcRequest request = RpcRequest_init_zero;
        request.function = 42;
        RpcResponse response = RpcResponse_init_zero;
        setOutput(response.output, output);
        context->callPath().callToken(0, request, response, false);
        EXPECT_EQ(response.rv, c.rv) << c.capacity;
        if (c.rv == CKR_OK) {
            EXPECT_EQ(output.received, 5u);
            EXPECT_EQ(Bytes(buffer, buffer + 6), (Bytes{1, 2, 3, 4, 5, 0}));
        } else {
            EXPECT_EQ(buffer[0], 0) << "nothing is written past a refused output";
            EXPECT_TRUE(logged("output larger than its buffer"));
        }
    }
}

TEST_F(CallPathTest, ClearResponseDecidesWhetherPresetsSurvive)
{
    replyWith({0x08, 0x00});
    for (const bool clear : {false, true}) {
        RpcRequest request = RpcRequest_init_zero;
        request.function = 14;
        RpcResponse response = RpcResponse_init_zero;
        response.has_handle2 = true;
        response.handle2 = 9;
        context->callPath().callToken(0, request, response, clear);
        EXPECT_EQ(response.rv, CKR_OK);
        EXPECT_EQ(response.has_handle2, !clear);
    }
}

Bytes encodedTokenInfo()
{
    RpcTokenInfo info = RpcTokenInfo_init_zero;
    info.label.size = 4;
    std::memcpy(info.label.bytes, "Vexa", 4);
    uint8_t buffer[512];
    pb_ostream_t stream = pb_ostream_from_buffer(buffer, sizeof buffer);
    EXPECT_TRUE(pb_encode(&stream, RpcTokenInfo_fields, &info));
    return Bytes(buffer, buffer + stream.bytes_written);
}

TEST_F(CallPathTest, TokenInfoNeedsEveryField)
{
    Bytes complete = encodedTokenInfo();
    // utcTime (field 20, empty) is encoded last: A2 01 00.
    ASSERT_EQ(Bytes(complete.end() - 3, complete.end()), (Bytes{0xA2, 0x01, 0x00}));
    Bytes missing(complete.begin(), complete.end() - 3);
    for (const bool isComplete : {true, false}) {
        const Bytes& info = isComplete ? complete : missing;
        Bytes reply{0x08, 0x00, 0x42, static_cast<uint8_t>(info.size())};
        reply.insert(reply.end(), info.begin(), info.end());
        replyWith(reply);
        RpcRequest request = RpcRequest_init_zero;
        request.function = 34;
        const RpcResponse response = call(request);
        if (isComplete) {
            EXPECT_EQ(response.rv, CKR_OK);
            EXPECT_TRUE(response.has_tokenInfo);
            EXPECT_EQ(response.tokenInfo.label.size, 4u);
        } else {
            EXPECT_EQ(response.rv, CKR_FUNCTION_FAILED);
            EXPECT_TRUE(logged("missing required field"));
        }
    }
}

TEST_F(CallPathTest, ReplyWithoutRvFailsToDecode)
{
    replyWith({0x10, 0x05});
    RpcRequest request = RpcRequest_init_zero;
    request.function = 11;
    EXPECT_EQ(call(request).rv, CKR_FUNCTION_FAILED);
    EXPECT_TRUE(logged("missing required field"));
}

TEST(GrowingOutputTest, TakesAtMost2048Bytes)
{
    std::vector<uint8_t> bytes(2049, 0x7E);
    for (const size_t length : {size_t{0}, size_t{12}, size_t{2048}, size_t{2049}}) {
        GrowingOutput output;
        void* arg = &output;
        pb_istream_t stream = pb_istream_from_buffer(bytes.data(), length);
        EXPECT_EQ(readGrowingOutput(&stream, nullptr, &arg), length <= kGrowingOutputMax) << length;
        if (length <= kGrowingOutputMax) {
            EXPECT_EQ(output.bytes.size(), length);
        }
    }
}

TEST(OutputReaderTest, NullBufferCountsAndSkipsTheBytes)
{
    std::vector<uint8_t> bytes(300, 1);
    OutputBuffer output{nullptr, 0};
    void* arg = &output;
    pb_istream_t stream = pb_istream_from_buffer(bytes.data(), bytes.size());
    EXPECT_TRUE(readOutput(&stream, nullptr, &arg));
    EXPECT_EQ(output.received, 300u);
    EXPECT_EQ(stream.bytes_left, 0u);
}

}  // namespace
