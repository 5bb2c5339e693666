#include <gtest/gtest.h>

#include "wire/AttributeKinds.h"
#include "wire/Codec.h"

// The codec must read and write exactly the bytes a token sees, or the
// token, and every test that scripts one, proves nothing.

using namespace vexa::wire;

namespace {

Request decoded(const Bytes& bytes)
{
    Request request;
    const char* error = nullptr;
    EXPECT_TRUE(decodeRequest(bytes, request, &error)) << error;
    return request;
}

Bytes encoded(const Request& request)
{
    Bytes bytes;
    EXPECT_TRUE(encodeRequest(request, bytes, 2048));
    return bytes;
}

Bytes encoded(const Response& response)
{
    Bytes bytes;
    EXPECT_TRUE(encodeResponse(response, bytes, 2048));
    return bytes;
}

}  // namespace

TEST(CodecTest, ScalarsTravelInTheirFields)
{
    const Bytes bytes = {0x08, 0x34, 0x10, 0x05, 0x30, 0x07};
    const Request request = decoded(bytes);
    EXPECT_EQ(request.function, fn::GetObjectSize);
    EXPECT_EQ(request.session, 5u);
    EXPECT_EQ(request.handle, 7u);
    EXPECT_FALSE(request.outputLength);
    EXPECT_FALSE(request.mechanism);
    EXPECT_FALSE(request.data);
    EXPECT_TRUE(request.templ.empty());
    EXPECT_EQ(encoded(request), bytes);

    Request bare;
    bare.function = fn::CloseAllSessions;
    EXPECT_EQ(encoded(bare), Bytes({0x08, 0x0E}));
}

TEST(CodecTest, ByteStringsMechanismAndTemplatesDecode)
{
    // function 2; mechanism {type 0x1082, parameter "ab"}; data "xyz";
    // template [{type 3, valueLength 2, value "hi"}, {type 1, flag true}];
    // template2 [{type 0, number 4}]; data2 "" (present but empty)
    const Bytes bytes = {0x08, 0x02, 0x1A, 0x07, 0x08, 0x82, 0x21, 0x1A, 0x02, 'a',  'b',  0x22, 0x03, 'x',
                         'y',  'z',  0x2A, 0x08, 0x08, 0x03, 0x10, 0x02, 0x1A, 0x02, 'h',  'i',  0x2A, 0x04,
                         0x08, 0x01, 0x28, 0x01, 0x4A, 0x04, 0x08, 0x00, 0x20, 0x04, 0x52, 0x00};
    const Request request = decoded(bytes);
    ASSERT_TRUE(request.mechanism);
    EXPECT_EQ(request.mechanism->type, 0x1082u);
    EXPECT_EQ(request.mechanism->parameter, Bytes({'a', 'b'}));
    EXPECT_FALSE(request.mechanism->oaep);
    EXPECT_FALSE(request.mechanism->ecdh1);
    EXPECT_EQ(request.data, Bytes({'x', 'y', 'z'}));
    EXPECT_EQ(request.data2, Bytes());
    ASSERT_EQ(request.templ.size(), 2u);
    EXPECT_EQ(request.templ[0].type, 3u);
    EXPECT_EQ(request.templ[0].valueLength, 2u);
    EXPECT_EQ(request.templ[0].value, Bytes({'h', 'i'}));
    EXPECT_FALSE(request.templ[0].flag);
    EXPECT_EQ(request.templ[1].flag, true);
    EXPECT_FALSE(request.templ[1].value);
    ASSERT_EQ(request.templ2.size(), 1u);
    EXPECT_EQ(request.templ2[0].number, 4u);
    // Tag order is the encoder's order too.
    EXPECT_EQ(encoded(request), bytes);
}

TEST(CodecTest, StructuredMechanismParametersDecode)
{
    // mechanism {type 9, oaep {hashAlg 0x250, mgf 2, sourceData "s"}}
    const Bytes oaep = {0x08, 0x01, 0x1A, 0x0C, 0x08, 0x09, 0x22, 0x08, 0x08, 0xD0, 0x04, 0x10, 0x02, 0x2A, 0x01, 's'};
    const Request withOaep = decoded(oaep);
    ASSERT_TRUE(withOaep.mechanism && withOaep.mechanism->oaep);
    EXPECT_EQ(withOaep.mechanism->oaep->hashAlg, 0x250u);
    EXPECT_EQ(withOaep.mechanism->oaep->mgf, 2u);
    EXPECT_EQ(withOaep.mechanism->oaep->sourceData, Bytes({'s'}));
    EXPECT_FALSE(withOaep.mechanism->oaep->source);
    EXPECT_FALSE(withOaep.mechanism->ecdh1);
    EXPECT_EQ(encoded(withOaep), oaep);

    // mechanism {type 0x1050, ecdh1 {kdf 1, publicData "P"}}
    const Bytes ecdh1 = {0x08, 0x31, 0x1A, 0x0A, 0x08, 0xD0, 0x20, 0x2A, 0x05, 0x08, 0x01, 0x1A, 0x01, 'P'};
    const Request withEcdh1 = decoded(ecdh1);
    ASSERT_TRUE(withEcdh1.mechanism && withEcdh1.mechanism->ecdh1);
    EXPECT_EQ(withEcdh1.mechanism->ecdh1->kdf, 1u);
    EXPECT_EQ(withEcdh1.mechanism->ecdh1->publicData, Bytes({'P'}));
    EXPECT_FALSE(withEcdh1.mechanism->ecdh1->sharedData);
    EXPECT_FALSE(withEcdh1.mechanism->oaep);
    EXPECT_EQ(encoded(withEcdh1), ecdh1);
}

TEST(CodecTest, GcmAndEncryptDataParametersTravelByValue)
{
    // mechanism {type 0x1087, gcm {iv "I", aad "A", tagBits 96}}
    const Bytes gcm = {0x08, 0x02, 0x1A, 0x0D, 0x08, 0x87, 0x21, 0x32, 0x08,
                       0x0A, 0x01, 'I',  0x1A, 0x01, 'A',  0x20, 0x60};
    const Request withGcm = decoded(gcm);
    ASSERT_TRUE(withGcm.mechanism && withGcm.mechanism->gcm);
    EXPECT_EQ(withGcm.mechanism->gcm->iv, Bytes({'I'}));
    EXPECT_EQ(withGcm.mechanism->gcm->aad, Bytes({'A'}));
    EXPECT_FALSE(withGcm.mechanism->gcm->ivBits);
    EXPECT_EQ(withGcm.mechanism->gcm->tagBits, 96u);
    EXPECT_EQ(encoded(withGcm), gcm);

    // mechanism {type 0x1105, encryptData {iv "V", data "D"}}
    const Bytes derive = {0x08, 0x31, 0x1A, 0x0B, 0x08, 0x85, 0x22, 0x3A, 0x06, 0x0A, 0x01, 'V', 0x12, 0x01, 'D'};
    const Request withData = decoded(derive);
    ASSERT_TRUE(withData.mechanism && withData.mechanism->encryptData);
    EXPECT_EQ(withData.mechanism->encryptData->iv, Bytes({'V'}));
    EXPECT_EQ(withData.mechanism->encryptData->data, Bytes({'D'}));
    EXPECT_FALSE(withData.mechanism->gcm);
    EXPECT_EQ(encoded(withData), derive);
}

TEST(CodecTest, ArrayAttributesTravelEntryByEntry)
{
    // template {type CKA_ALLOWED_MECHANISMS, valueLength 2, mechanisms 0x1081, 0x1082}
    const Bytes mechanisms = {0x08, 0x23, 0x2A, 0x0E, 0x08, 0x80, 0x8C, 0x80, 0x80,
                              0x04, 0x10, 0x02, 0x30, 0x81, 0x21, 0x30, 0x82, 0x21};
    const Request withList = decoded(mechanisms);
    ASSERT_EQ(withList.templ.size(), 1u);
    EXPECT_EQ(withList.templ[0].type, CKA_ALLOWED_MECHANISMS);
    EXPECT_EQ(withList.templ[0].valueLength, 2u);
    EXPECT_EQ(withList.templ[0].mechanisms, std::vector<uint32_t>({0x1081, 0x1082}));
    EXPECT_EQ(encoded(withList), mechanisms);
    // The same list packed, as other protobuf writers send it.
    const Bytes packed = {0x08, 0x23, 0x2A, 0x0E, 0x08, 0x80, 0x8C, 0x80, 0x80,
                          0x04, 0x10, 0x02, 0x32, 0x04, 0x81, 0x21, 0x82, 0x21};
    EXPECT_EQ(decoded(packed).templ.at(0).mechanisms, std::vector<uint32_t>({0x1081, 0x1082}));

    // template {type CKA_WRAP_TEMPLATE, valueLength 1, members {type CKA_CLASS, number 4}}
    const Bytes members = {0x08, 0x23, 0x2A, 0x0E, 0x08, 0x91, 0x84, 0x80, 0x80,
                           0x04, 0x10, 0x01, 0x3A, 0x04, 0x08, 0x00, 0x20, 0x04};
    const Request withTemplate = decoded(members);
    ASSERT_EQ(withTemplate.templ.size(), 1u);
    ASSERT_EQ(withTemplate.templ[0].members.size(), 1u);
    EXPECT_EQ(withTemplate.templ[0].members[0].type, CKA_CLASS);
    EXPECT_EQ(withTemplate.templ[0].members[0].number, 4u);
    EXPECT_EQ(encoded(withTemplate), members);

    Request empty;
    empty.function = 35;
    empty.templ = {templateAttribute(CKA_UNWRAP_TEMPLATE, {})};
    const Request back = decoded(encoded(empty));
    ASSERT_EQ(back.templ.size(), 1u);
    EXPECT_EQ(back.templ[0].valueLength, 0u) << "an empty template is still there";
    EXPECT_TRUE(back.templ[0].members.empty());
}

TEST(CodecTest, ArraysNestDeeperThanOneLevelOrBeyondTheirBoundDoNotDecode)
{
    Request request;
    const char* error = nullptr;
    // members {type 0, members {type 0}}: an array inside a member
    const Bytes nested = {0x08, 0x23, 0x2A, 0x0C, 0x08, 0x91, 0x84, 0x80,
                          0x80, 0x04, 0x3A, 0x04, 0x08, 0x00, 0x3A, 0x00};
    EXPECT_FALSE(decodeRequest(nested, request, &error));
    Bytes attribute = {0x08, 0x80, 0x8C, 0x80, 0x80, 0x04};
    for (uint32_t i = 0; i <= kMaxArrayEntries; ++i) {
        attribute.insert(attribute.end(), {0x30, 0x01});
    }
    Bytes tooMany = {0x08, 0x23, 0x2A, static_cast<uint8_t>(0x80 | (attribute.size() & 0x7F)),
                     static_cast<uint8_t>(attribute.size() >> 7)};
    tooMany.insert(tooMany.end(), attribute.begin(), attribute.end());
    EXPECT_FALSE(decodeRequest(tooMany, request, &error));
    attribute.resize(attribute.size() - 2);
    Bytes atTheBound = {0x08, 0x23, 0x2A, static_cast<uint8_t>(0x80 | (attribute.size() & 0x7F)),
                        static_cast<uint8_t>(attribute.size() >> 7)};
    atTheBound.insert(atTheBound.end(), attribute.begin(), attribute.end());
    EXPECT_TRUE(decodeRequest(atTheBound, request, &error)) << error;
}

TEST(CodecTest, MalformedMessagesAreRefusedWithAReason)
{
    const struct {
        const char* name;
        Bytes bytes;
    } cases[] = {
        {"no function", {0x10, 0x05}},
        {"cut short", {0x08}},
        {"attribute without its type", {0x08, 0x23, 0x2A, 0x02, 0x10, 0x01}},
        {"longer than any request", Bytes(kMaxRequest + 1, 0)},
    };
    for (const auto& c : cases) {
        Request request;
        const char* error = nullptr;
        EXPECT_FALSE(decodeRequest(c.bytes, request, &error)) << c.name;
        EXPECT_NE(error, nullptr) << c.name;
    }
    Response response;
    EXPECT_FALSE(decodeResponse({0x10, 0x05}, response)) << "a reply without rv";
}

TEST(CodecTest, RepliesEncodeAsATokenSendsThem)
{
    Response sized;
    sized.outputLength = 300;
    EXPECT_EQ(encoded(sized), Bytes({0x08, 0x00, 0x20, 0xAC, 0x02}));

    Response full;
    full.rv = 0x150;
    full.handle = 1;
    full.output = Bytes{'o'};
    full.handle2 = 2;
    full.attributes = {numberAttribute(0, 3), flagAttribute(1, false), bytesAttribute(3, {'v'})};
    full.sessionInfo = RpcSessionInfo{3, 6, 0};
    full.tokenConfig = RpcTokenConfig{true, 7, false, 0, false, 0, true, 9};
    const Bytes wire = {0x08, 0xD0, 0x02, 0x10, 0x01, 0x1A, 0x01, 'o',  0x28, 0x02, 0x32, 0x04, 0x08, 0x00, 0x20,
                        0x03, 0x32, 0x04, 0x08, 0x01, 0x28, 0x00, 0x32, 0x07, 0x08, 0x03, 0x10, 0x01, 0x1A, 0x01,
                        'v',  0x3A, 0x06, 0x08, 0x03, 0x10, 0x06, 0x18, 0x00, 0x4A, 0x04, 0x08, 0x07, 0x20, 0x09};
    EXPECT_EQ(encoded(full), wire);

    Response back;
    ASSERT_TRUE(decodeResponse(wire, back));
    EXPECT_EQ(back.output, Bytes{'o'});
    ASSERT_EQ(back.attributes.size(), 3u);
    EXPECT_EQ(back.attributes[1].flag, false);
    EXPECT_EQ(back.attributes[2].value, Bytes{'v'});
    ASSERT_TRUE(back.tokenConfig);
    EXPECT_FALSE(back.tokenConfig->has_config2);
    EXPECT_EQ(encoded(back), wire);
}

TEST(CodecTest, AReplyBeyondItsLimitOrBoundsDoesNotEncode)
{
    Response large;
    large.output = Bytes(2046, 0x55);
    Bytes out = {1};
    EXPECT_FALSE(encodeResponse(large, out, 2048));
    EXPECT_TRUE(out.empty());

    Response info;
    info.tokenInfo = RpcTokenInfo_init_zero;
    info.tokenInfo->model.size = sizeof info.tokenInfo->model.bytes + 1;
    EXPECT_FALSE(encodeResponse(info, out, 2048));
}

TEST(CodecTest, PresentFieldsAreCountedByTag)
{
    Request request;
    request.function = fn::WrapKey;
    request.session = 1;
    request.mechanism = WireMechanism{};
    request.handle = 2;
    request.handle2 = 3;
    request.templ2 = {numberAttribute(0, 1)};
    EXPECT_EQ(presentFields(request), bitOf(RequestField::Mechanism) | bitOf(RequestField::Handle) |
                                          bitOf(RequestField::Handle2) | bitOf(RequestField::Template2));

    Response response;
    response.output = Bytes{};
    response.tokenInfo = RpcTokenInfo_init_zero;
    EXPECT_EQ(presentFields(response), bitOf(ReplyField::Output) | bitOf(ReplyField::TokenInfo));
}
