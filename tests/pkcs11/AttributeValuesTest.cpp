#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "ScriptedTokenFixture.h"

using namespace vexa::test;

namespace {

class AttributeValuesTest : public ScriptedTokenFixture {
protected:
    void SetUp() override
    {
        startTokens(1);
        session = knownSession(0, 3);
    }

    void tokenReturns(std::vector<WireAttribute> attributes, CK_RV rv = CKR_OK)
    {
        Response response;
        response.rv = static_cast<uint32_t>(rv);
        response.attributes = std::move(attributes);
        reply(response);
    }

    CK_SESSION_HANDLE session = 0;
};

WireAttribute claiming(uint32_t type, std::optional<uint32_t> length, std::optional<Bytes> value)
{
    WireAttribute attribute;
    attribute.type = type;
    attribute.valueLength = length;
    attribute.value = std::move(value);
    return attribute;
}

// One template element against one returned attribute.
struct LengthCase {
    const char* name;
    WireAttribute returned;
    CK_ATTRIBUTE_TYPE type;
    bool withBuffer;
    CK_ULONG bufferLength;
    CK_RV rv;
    CK_ULONG length;  // the element's ulValueLen afterwards
    Bytes value;      // what the buffer starts with afterwards
};

void PrintTo(const LengthCase& c, std::ostream* out) { *out << c.name; }

const Bytes kHello = {'h', 'e', 'l', 'l', 'o'};
const Bytes kUntouched(8, 0xEE);
const Bytes kFour = {4, 0, 0, 0, 0, 0, 0, 0};
const Bytes kAllOnes(8, 0xFF);

const LengthCase kLengthCases[] = {
    {"BytesSizeQuery", bytesAttribute(CKA_LABEL, kHello), CKA_LABEL, false, 0, CKR_OK, 5, {}},
    {"BytesTooSmall", bytesAttribute(CKA_LABEL, kHello), CKA_LABEL, true, 3, CKR_BUFFER_TOO_SMALL,
     CK_UNAVAILABLE_INFORMATION, kUntouched},
    {"BytesFit", bytesAttribute(CKA_LABEL, kHello), CKA_LABEL, true, 8, CKR_OK, 5, kHello},
    {"NumberSizeQuery", numberAttribute(CKA_CLASS, 4), CKA_CLASS, false, 0, CKR_OK, 8, {}},
    {"NumberZeroExtended", numberAttribute(CKA_CLASS, 4), CKA_CLASS, true, 8, CKR_OK, 8, kFour},
    {"NumberNeedsAWholeUlong", numberAttribute(CKA_CLASS, 4), CKA_CLASS, true, 4, CKR_BUFFER_TOO_SMALL,
     CK_UNAVAILABLE_INFORMATION, kUntouched},
    {"NumberUnavailable", numberAttribute(CKA_MODULUS_BITS, 0xFFFFFFFF), CKA_MODULUS_BITS, true, 8, CKR_OK, 8,
     kAllOnes},
    {"FlagSizeQuery", flagAttribute(CKA_TOKEN, true), CKA_TOKEN, false, 0, CKR_OK, 1, {}},
    {"FlagFits", flagAttribute(CKA_TOKEN, true), CKA_TOKEN, true, 1, CKR_OK, 1, {1}},
    {"EmptyValue", claiming(CKA_ID, 0, std::nullopt), CKA_ID, true, 8, CKR_OK, 0, kUntouched},
    {"UnavailableSizeQuery",
     claiming(CKA_VALUE, 0xFFFFFFFF, std::nullopt),
     CKA_VALUE,
     false,
     0,
     CKR_OK,
     CK_UNAVAILABLE_INFORMATION,
     {}},
    {"UnavailableWithBuffer", claiming(CKA_VALUE, 0xFFFFFFFF, std::nullopt), CKA_VALUE, true, 8, CKR_BUFFER_TOO_SMALL,
     CK_UNAVAILABLE_INFORMATION, kUntouched},
    // A token's attribute that cannot be what it claims: nothing is read
    // beyond what arrived, and the call says so.
    {"FewerBytesThanClaimed", claiming(CKA_ID, 8, Bytes{1, 2}), CKA_ID, true, 8, CKR_FUNCTION_FAILED,
     CK_UNAVAILABLE_INFORMATION, kUntouched},
    {"FewerBytesThanClaimedSizeQuery",
     claiming(CKA_ID, 8, Bytes{1, 2}),
     CKA_ID,
     false,
     0,
     CKR_FUNCTION_FAILED,
     CK_UNAVAILABLE_INFORMATION,
     {}},
    {"NumberSentAsBytes", bytesAttribute(CKA_KEY_TYPE, {3, 0, 0, 0}), CKA_KEY_TYPE, true, 8, CKR_FUNCTION_FAILED,
     CK_UNAVAILABLE_INFORMATION, kUntouched},
    {"NumberWithoutValue",
     claiming(CKA_VALUE_LEN, std::nullopt, std::nullopt),
     CKA_VALUE_LEN,
     false,
     0,
     CKR_FUNCTION_FAILED,
     CK_UNAVAILABLE_INFORMATION,
     {}},
};

class AttributeLengthTest : public AttributeValuesTest, public ::testing::WithParamInterface<LengthCase> {};

}  // namespace

TEST_P(AttributeLengthTest, ElementGetsTheLengthRuleResult)
{
    const LengthCase& c = GetParam();
    tokenReturns({c.returned});
    // Exactly the caller's length, so ASan sees any copy beyond it.
    auto buffer = std::make_unique<CK_BYTE[]>(c.bufferLength == 0 ? 1 : c.bufferLength);
    std::memset(buffer.get(), 0xEE, c.bufferLength);
    CK_ATTRIBUTE element = {c.type, c.withBuffer ? buffer.get() : nullptr, c.bufferLength};
    EXPECT_EQ(context->C_GetAttributeValue(session, 1, &element, 1), c.rv);
    EXPECT_EQ(element.ulValueLen, c.length);
    const size_t shown = std::min<size_t>(c.value.size(), c.bufferLength);
    EXPECT_EQ(Bytes(buffer.get(), buffer.get() + shown), Bytes(c.value.begin(), c.value.begin() + shown));
}

INSTANTIATE_TEST_SUITE_P(Rules, AttributeLengthTest, ::testing::ValuesIn(kLengthCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(AttributeValuesTest, RequestNamesTheObjectAndTheTypesOnly)
{
    CK_BYTE buffer[4];
    CK_ATTRIBUTE elements[] = {{CKA_LABEL, buffer, 4}, {CKA_CLASS, nullptr, 0}};
    tokenReturns({});
    ASSERT_EQ(context->C_GetAttributeValue(session, 0x200000011, elements, 2), CKR_OK);
    const auto requests = sent();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].function, 16u);
    EXPECT_EQ(requests[0].session, 3u);
    EXPECT_EQ(requests[0].handle, 0x11u);
    ASSERT_EQ(requests[0].templ.size(), 2u);
    EXPECT_EQ(requests[0].templ[0].type, CKA_LABEL);
    EXPECT_FALSE(requests[0].templ[0].valueLength || requests[0].templ[0].value);
    // Types the token did not return stay as the caller had them.
    EXPECT_EQ(elements[0].ulValueLen, 4u);
    EXPECT_EQ(elements[1].ulValueLen, 0u);
}

TEST_F(AttributeValuesTest, TokenErrorKeepsTheAttributesItReturned)
{
    CK_BYTE label[8];
    CK_BYTE secret[8];
    CK_ATTRIBUTE elements[] = {{CKA_LABEL, label, 8}, {CKA_VALUE, secret, 8}, {0x8123, nullptr, 7}};
    tokenReturns({bytesAttribute(CKA_LABEL, kHello), claiming(CKA_VALUE, 0xFFFFFFFF, std::nullopt)},
                 CKR_ATTRIBUTE_SENSITIVE);
    EXPECT_EQ(context->C_GetAttributeValue(session, 1, elements, 3), CKR_ATTRIBUTE_SENSITIVE);
    EXPECT_EQ(elements[0].ulValueLen, 5u);
    EXPECT_EQ(Bytes(label, label + 5), kHello);
    EXPECT_EQ(elements[1].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(elements[2].ulValueLen, 7u);
}

TEST_F(AttributeValuesTest, FirstProblemDecidesTheResult)
{
    CK_BYTE small[2];
    CK_BYTE id[8];
    CK_ATTRIBUTE elements[] = {{CKA_LABEL, small, 2}, {CKA_ID, id, 8}};
    tokenReturns({bytesAttribute(CKA_LABEL, kHello), claiming(CKA_ID, 8, Bytes{1})});
    EXPECT_EQ(context->C_GetAttributeValue(session, 1, elements, 2), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(elements[0].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(elements[1].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_TRUE(logged("Attribute 0x102 came with fewer bytes than its length"));
}

TEST_F(AttributeValuesTest, MechanismListsReadBackAsTheirTypes)
{
    for (const std::vector<uint32_t>& list :
         {std::vector<uint32_t>{0x1081}, {0x1081, 0x1082}, {0x1081, 0x1082, 0x1087}}) {
        SCOPED_TRACE(list.size());
        tokenReturns({mechanismsAttribute(CKA_ALLOWED_MECHANISMS, list)});
        CK_ATTRIBUTE query = {CKA_ALLOWED_MECHANISMS, nullptr, 0};
        ASSERT_EQ(context->C_GetAttributeValue(session, 1, &query, 1), CKR_OK);
        EXPECT_EQ(query.ulValueLen, list.size() * sizeof(CK_MECHANISM_TYPE));

        tokenReturns({mechanismsAttribute(CKA_ALLOWED_MECHANISMS, list)});
        std::vector<CK_MECHANISM_TYPE> out(list.size() + 1, 0xEEEE);
        query = {CKA_ALLOWED_MECHANISMS, out.data(), out.size() * sizeof(CK_MECHANISM_TYPE)};
        ASSERT_EQ(context->C_GetAttributeValue(session, 1, &query, 1), CKR_OK);
        EXPECT_EQ(query.ulValueLen, list.size() * sizeof(CK_MECHANISM_TYPE));
        EXPECT_EQ(std::vector<CK_MECHANISM_TYPE>(out.begin(), out.end() - 1),
                  std::vector<CK_MECHANISM_TYPE>(list.begin(), list.end()));
        EXPECT_EQ(out.back(), 0xEEEEu);

        tokenReturns({mechanismsAttribute(CKA_ALLOWED_MECHANISMS, list)});
        query.ulValueLen = list.size() * sizeof(CK_MECHANISM_TYPE) - 1;
        EXPECT_EQ(context->C_GetAttributeValue(session, 1, &query, 1), CKR_BUFFER_TOO_SMALL);
        EXPECT_EQ(query.ulValueLen, CK_UNAVAILABLE_INFORMATION);
    }
}

TEST_F(AttributeValuesTest, TemplateMembersFillTheCallersRecords)
{
    const WireAttribute wrapTemplate =
        templateAttribute(CKA_WRAP_TEMPLATE, {numberAttribute(CKA_CLASS, CKO_SECRET_KEY),
                                              flagAttribute(CKA_EXTRACTABLE, true), bytesAttribute(CKA_LABEL, kHello)});
    tokenReturns({wrapTemplate, templateAttribute(CKA_UNWRAP_TEMPLATE, {})});
    CK_ATTRIBUTE sizes[] = {{CKA_WRAP_TEMPLATE, nullptr, 0}, {CKA_UNWRAP_TEMPLATE, nullptr, 7}};
    ASSERT_EQ(context->C_GetAttributeValue(session, 1, sizes, 2), CKR_OK);
    EXPECT_EQ(sizes[0].ulValueLen, 3 * sizeof(CK_ATTRIBUTE));
    EXPECT_EQ(sizes[1].ulValueLen, 0u);

    // Records without buffers learn their types and sizes.
    tokenReturns({wrapTemplate});
    CK_ATTRIBUTE records[3] = {};
    CK_ATTRIBUTE element = {CKA_WRAP_TEMPLATE, records, sizeof records};
    ASSERT_EQ(context->C_GetAttributeValue(session, 1, &element, 1), CKR_OK);
    EXPECT_EQ(element.ulValueLen, sizeof records);
    EXPECT_EQ(records[0].type, CKA_CLASS);
    EXPECT_EQ(records[0].ulValueLen, sizeof(CK_ULONG));
    EXPECT_EQ(records[1].type, CKA_EXTRACTABLE);
    EXPECT_EQ(records[1].ulValueLen, 1u);
    EXPECT_EQ(records[2].type, CKA_LABEL);
    EXPECT_EQ(records[2].ulValueLen, 5u);

    // With buffers, the values; one too small is unavailable alone.
    tokenReturns({wrapTemplate});
    CK_ULONG cls = 0;
    CK_BBOOL extractable = 0;
    CK_BYTE label[3] = {};
    records[0].pValue = &cls;
    records[1].pValue = &extractable;
    records[2].pValue = label;
    records[2].ulValueLen = sizeof label;
    EXPECT_EQ(context->C_GetAttributeValue(session, 1, &element, 1), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(cls, CKO_SECRET_KEY);
    EXPECT_EQ(records[0].ulValueLen, sizeof(CK_ULONG));
    EXPECT_EQ(extractable, CK_TRUE);
    EXPECT_EQ(records[2].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(records[2].pValue, label) << "the caller's own address stays";
}

TEST_F(AttributeValuesTest, ArraysThatDisagreeWithTheirCountAreMalformed)
{
    WireAttribute shortList = mechanismsAttribute(CKA_ALLOWED_MECHANISMS, {0x1081, 0x1082});
    shortList.valueLength = 3;
    WireAttribute longTemplate = templateAttribute(CKA_WRAP_TEMPLATE, {numberAttribute(CKA_CLASS, 4)});
    longTemplate.valueLength = 0;
    const WireAttribute records = bytesAttribute(CKA_DERIVE_TEMPLATE, Bytes(sizeof(CK_ATTRIBUTE), 0));
    for (const WireAttribute& returned : {shortList, longTemplate, records}) {
        tokenReturns({returned});
        CK_ATTRIBUTE element = {returned.type, nullptr, 0};
        EXPECT_EQ(context->C_GetAttributeValue(session, 1, &element, 1), CKR_FUNCTION_FAILED)
            << std::hex << returned.type;
        EXPECT_EQ(element.ulValueLen, CK_UNAVAILABLE_INFORMATION);
    }
    EXPECT_TRUE(logged("Attribute 0x40000213 came without its entries"));
}

TEST_F(AttributeValuesTest, MoreThanFortyAttributesFailButTheDecodedOnesAreFilled)
{
    std::vector<WireAttribute> many;
    for (uint32_t i = 0; i < 41; ++i) {
        many.push_back(numberAttribute(0x90000000 + i, i));
    }
    tokenReturns(many);
    CK_ULONG first = 0;
    CK_ULONG last = 0;
    CK_ATTRIBUTE elements[] = {{0x90000000, &first, sizeof first}, {0x90000028, &last, sizeof last}};
    EXPECT_EQ(context->C_GetAttributeValue(session, 1, elements, 2), CKR_FUNCTION_FAILED);
    EXPECT_EQ(elements[0].ulValueLen, 4u);           // not a numeric type: the 4 bytes as sent
    EXPECT_EQ(elements[1].ulValueLen, sizeof last);  // never arrived: unchanged
}

TEST_F(AttributeValuesTest, FailedExchangeLeavesTheTemplateAlone)
{
    token().responder = [](const Bytes&) { return Bytes(); };
    CK_ATTRIBUTE element = {CKA_LABEL, nullptr, 3};
    EXPECT_EQ(context->C_GetAttributeValue(session, 1, &element, 1), CKR_FUNCTION_FAILED);
    EXPECT_EQ(element.ulValueLen, 3u);
}
