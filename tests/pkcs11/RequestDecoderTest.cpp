#include <gtest/gtest.h>

#include <stdexcept>

#include "RequestDecoder.h"

// The scripting helper must read and write exactly the bytes a token sees,
// or every test built on it proves nothing.

using namespace vexa::test;

TEST(RequestDecoderTest, DecodesScalarsInTheirFields)
{
    const DecodedRequest request = decodeRequest({0x08, 0x34, 0x10, 0x05, 0x30, 0x07});
    EXPECT_EQ(request.function, 52u);
    EXPECT_EQ(request.session, 5u);
    EXPECT_EQ(request.handle, 7u);
    EXPECT_FALSE(request.outputLength);
    EXPECT_FALSE(request.mechanism);
    EXPECT_FALSE(request.data);
    EXPECT_TRUE(request.templ.empty());
}

TEST(RequestDecoderTest, DecodesByteStringsMechanismAndTemplates)
{
    // function 2; mechanism {type 0x1082, parameter "ab"}; data "xyz";
    // template [{type 3, valueLength 2, value "hi"}, {type 1, flag true}];
    // template2 [{type 0, number 4}]; data2 "" (present but empty)
    const Bytes bytes = {0x08, 0x02, 0x1A, 0x07, 0x08, 0x82, 0x21, 0x1A, 0x02, 'a',  'b',  0x22, 0x03, 'x',
                         'y',  'z',  0x2A, 0x08, 0x08, 0x03, 0x10, 0x02, 0x1A, 0x02, 'h',  'i',  0x2A, 0x04,
                         0x08, 0x01, 0x28, 0x01, 0x4A, 0x04, 0x08, 0x00, 0x20, 0x04, 0x52, 0x00};
    const DecodedRequest request = decodeRequest(bytes);
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
    ASSERT_EQ(request.template2.size(), 1u);
    EXPECT_EQ(request.template2[0].number, 4u);
}

TEST(RequestDecoderTest, DecodesStructuredMechanismParameters)
{
    // mechanism {type 9, oaep {hashAlg 0x250, mgf 2, sourceData "s"}}
    const Bytes oaep = {0x08, 0x01, 0x1A, 0x0C, 0x08, 0x09, 0x22, 0x08, 0x08, 0xD0, 0x04, 0x10, 0x02, 0x2A, 0x01, 's'};
    const DecodedRequest withOaep = decodeRequest(oaep);
    ASSERT_TRUE(withOaep.mechanism && withOaep.mechanism->oaep);
    EXPECT_EQ(withOaep.mechanism->oaep->hashAlg, 0x250u);
    EXPECT_EQ(withOaep.mechanism->oaep->mgf, 2u);
    EXPECT_EQ(withOaep.mechanism->oaep->sourceData, Bytes({'s'}));
    EXPECT_FALSE(withOaep.mechanism->oaep->source);
    EXPECT_FALSE(withOaep.mechanism->ecdh1);

    // mechanism {type 0x1050, ecdh1 {kdf 1, publicData "P"}}
    const Bytes ecdh1 = {0x08, 0x31, 0x1A, 0x0A, 0x08, 0xD0, 0x20, 0x2A, 0x05, 0x08, 0x01, 0x1A, 0x01, 'P'};
    const DecodedRequest withEcdh1 = decodeRequest(ecdh1);
    ASSERT_TRUE(withEcdh1.mechanism && withEcdh1.mechanism->ecdh1);
    EXPECT_EQ(withEcdh1.mechanism->ecdh1->kdf, 1u);
    EXPECT_EQ(withEcdh1.mechanism->ecdh1->publicData, Bytes({'P'}));
    EXPECT_FALSE(withEcdh1.mechanism->ecdh1->sharedData);
    EXPECT_FALSE(withEcdh1.mechanism->oaep);
}

TEST(RequestDecoderTest, RefusesMalformedRequests)
{
    EXPECT_THROW(decodeRequest({0x10, 0x05}), std::runtime_error);  // no function
    EXPECT_THROW(decodeRequest({0x08}), std::runtime_error);        // cut short
}

TEST(RequestDecoderTest, EncodesResponsesAsATokenWould)
{
    ScriptedResponse sized;
    sized.outputLength = 300;
    EXPECT_EQ(encodeResponse(sized), Bytes({0x08, 0x00, 0x20, 0xAC, 0x02}));

    ScriptedResponse full;
    full.rv = 0x150;
    full.handle = 1;
    full.output = Bytes{'o'};
    full.handle2 = 2;
    full.attributes = {numberAttribute(0, 3), flagAttribute(1, false), bytesAttribute(3, {'v'})};
    full.sessionInfo = WireSessionInfo{3, 6, 0};
    full.tokenConfig = WireTokenConfig{7, std::nullopt, std::nullopt, 9};
    EXPECT_EQ(encodeResponse(full),
              Bytes({0x08, 0xD0, 0x02, 0x10, 0x01, 0x1A, 0x01, 'o',  0x28, 0x02, 0x32, 0x04, 0x08, 0x00, 0x20,
                     0x03, 0x32, 0x04, 0x08, 0x01, 0x28, 0x00, 0x32, 0x07, 0x08, 0x03, 0x10, 0x01, 0x1A, 0x01,
                     'v',  0x3A, 0x06, 0x08, 0x03, 0x10, 0x06, 0x18, 0x00, 0x4A, 0x04, 0x08, 0x07, 0x20, 0x09}));
}

TEST(RequestDecoderTest, TokenInfoStringsKeepTheirBounds)
{
    ScriptedResponse response;
    response.tokenInfo = WireTokenInfo{};
    response.tokenInfo->label = std::string(32, 'L');
    EXPECT_NO_THROW(encodeResponse(response));
    response.tokenInfo->model = std::string(17, 'M');
    EXPECT_THROW(encodeResponse(response), std::runtime_error);
}
