// Objects, attributes and searches.
#include <algorithm>

#include "TokenBehaviour.h"

namespace vexa::test::engine {
namespace {

uint32_t littleEndian(const Bytes& b, size_t at)
{
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}

TEST_P(TokenBehaviour, AttributesTravelInTheirOwnRepresentation)
{
    uint32_t s = userSession();
    uint32_t object = token().create(s, {number(CKA_CLASS, CKO_DATA), flag(CKA_TOKEN, false),
                                         bytes(CKA_LABEL, bytesOf("notes")), bytes(CKA_VALUE, bytesOf("v1"))});
    Response resp = call(fn::GetAttributeValue, s, [&](Request& r) {
        r.handle = object;
        r.templ = {typeOnly(CKA_CLASS), typeOnly(CKA_TOKEN), typeOnly(CKA_LABEL), typeOnly(CKA_MODULUS)};
    });
    // A data object has no modulus: that one is unavailable, the others come.
    EXPECT_EQ(resp.rv, CKR_ATTRIBUTE_TYPE_INVALID);
    ASSERT_EQ(resp.attributes.size(), 4u);
    EXPECT_EQ(resp.attributes[0].number, CKO_DATA);
    EXPECT_FALSE(resp.attributes[0].value);
    EXPECT_EQ(resp.attributes[1].flag, false);
    EXPECT_EQ(resp.attributes[2].valueLength, 5u);
    EXPECT_EQ(resp.attributes[2].value, bytesOf("notes"));
    EXPECT_EQ(resp.attributes[3].valueLength, 0xFFFFFFFFu);
    EXPECT_FALSE(resp.attributes[3].value);

    EXPECT_EQ(call(fn::SetAttributeValue, s,
                   [&](Request& r) {
                       r.handle = object;
                       r.templ = {bytes(CKA_LABEL, bytesOf("renamed"))};
                   })
                  .rv,
              CKR_OK);
    EXPECT_EQ(token().attribute(s, object, CKA_LABEL), bytesOf("renamed"));
    Response size = call(fn::GetObjectSize, s, [&](Request& r) { r.handle = object; });
    EXPECT_EQ(size.rv, CKR_OK);
    EXPECT_TRUE(size.outputLength);
}

TEST_P(TokenBehaviour, SensitiveKeyValuesStayOnTheToken)
{
    uint32_t s = userSession();
    uint32_t key = token().generateAesKey(s, {flag(CKA_SENSITIVE, true)});
    Response resp = call(fn::GetAttributeValue, s, [&](Request& r) {
        r.handle = key;
        r.templ = {typeOnly(CKA_VALUE), typeOnly(CKA_VALUE_LEN), typeOnly(CKA_KEY_TYPE)};
    });
    EXPECT_EQ(resp.rv, CKR_ATTRIBUTE_SENSITIVE);
    ASSERT_EQ(resp.attributes.size(), 3u);
    EXPECT_EQ(resp.attributes[0].valueLength, 0xFFFFFFFFu);
    EXPECT_EQ(resp.attributes[1].number, 16u);
    EXPECT_EQ(resp.attributes[2].number, CKK_AES);
}

TEST_P(TokenBehaviour, FindReturnsAtMostTheAskedNumberOfHandles)
{
    uint32_t s = userSession();
    std::vector<uint32_t> created;
    for (const char* label : {"one", "two", "three"}) {
        created.push_back(token().create(s, {number(CKA_CLASS, CKO_DATA), bytes(CKA_APPLICATION, bytesOf("find")),
                                             bytes(CKA_LABEL, bytesOf(label))}));
    }
    ASSERT_EQ(call(fn::FindObjectsInit, s, [](Request& r) { r.templ = {bytes(CKA_APPLICATION, bytesOf("find"))}; }).rv,
              CKR_OK);
    Response first = call(fn::FindObjects, s, [](Request& r) { r.outputLength = 2; });
    Response rest = call(fn::FindObjects, s, [](Request& r) { r.outputLength = 2; });
    EXPECT_EQ(call(fn::FindObjectsFinal, s).rv, CKR_OK);
    ASSERT_EQ(first.output->size(), 8u);
    ASSERT_EQ(rest.output->size(), 4u);
    std::vector<uint32_t> found = {littleEndian(*first.output, 0), littleEndian(*first.output, 4),
                                   littleEndian(*rest.output, 0)};
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, created);

    EXPECT_EQ(token().find(s, {bytes(CKA_LABEL, bytesOf("two"))}), std::vector<uint32_t>{created[1]});
    EXPECT_EQ(call(fn::FindObjects, s, [](Request& r) { r.outputLength = 1; }).rv, CKR_OPERATION_NOT_INITIALIZED);
}

TEST_P(TokenBehaviour, CopiedAndDestroyedObjects)
{
    uint32_t s = userSession();
    uint32_t original = token().create(s, {number(CKA_CLASS, CKO_DATA), bytes(CKA_LABEL, bytesOf("a"))});
    Response copy = call(fn::CopyObject, s, [&](Request& r) {
        r.handle = original;
        r.templ = {bytes(CKA_LABEL, bytesOf("b"))};
    });
    ASSERT_EQ(copy.rv, CKR_OK);
    EXPECT_EQ(token().attribute(s, *copy.handle, CKA_LABEL), bytesOf("b"));

    EXPECT_EQ(call(fn::DestroyObject, s, [&](Request& r) { r.handle = original; }).rv, CKR_OK);
    EXPECT_EQ(call(fn::DestroyObject, s, [&](Request& r) { r.handle = original; }).rv, CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(call(fn::GetObjectSize, s, [&](Request& r) { r.handle = 0x7FFF; }).rv, CKR_OBJECT_HANDLE_INVALID);
}

// The wire carries no template for an empty one; that is no reason to refuse.
TEST_P(TokenBehaviour, CopyWithAnEmptyTemplateCopiesUnchanged)
{
    uint32_t s = userSession();
    uint32_t original = token().create(s, {number(CKA_CLASS, CKO_DATA), bytes(CKA_LABEL, bytesOf("same"))});
    Response copy = call(fn::CopyObject, s, [&](Request& r) { r.handle = original; });
    ASSERT_EQ(copy.rv, CKR_OK);
    ASSERT_TRUE(copy.handle);
    EXPECT_NE(*copy.handle, original);
    EXPECT_EQ(token().attribute(s, *copy.handle, CKA_LABEL), bytesOf("same"));
    // An empty template changes nothing and is no mistake either.
    EXPECT_EQ(call(fn::SetAttributeValue, s, [&](Request& r) { r.handle = original; }).rv, CKR_OK);
}

TEST_P(TokenBehaviour, TemplatesThatCannotBeCarriedAreRefused)
{
    uint32_t s = userSession();
    // A nested template's records hold addresses of the sender's memory.
    Bytes records(24, 0x41);
    // What the library sends for a value without a buffer: a length, no bytes.
    WireAttribute lengthOnly = bytes(CKA_LABEL, {});
    lengthOnly.valueLength = 16;
    // Arrays whose count disagrees with their entries, entries on a type that
    // holds none, an array as a template's member.
    WireAttribute miscounted = wire::mechanismsAttribute(CKA_ALLOWED_MECHANISMS, {CKM_AES_ECB, CKM_AES_CBC});
    miscounted.valueLength = 3;
    WireAttribute listOnLabel = bytes(CKA_LABEL, bytesOf("x"));
    listOnLabel.mechanisms = {CKM_AES_ECB};
    const WireAttribute arrayMember = wire::mechanismsAttribute(CKA_ALLOWED_MECHANISMS, {});
    const WireAttribute nested = wire::templateAttribute(CKA_WRAP_TEMPLATE, {arrayMember});
    for (const WireAttribute& bad : {bytes(CKA_WRAP_TEMPLATE, records), lengthOnly, miscounted, listOnLabel, nested}) {
        Response r = call(fn::CreateObject, s, [&](Request& q) { q.templ = {number(CKA_CLASS, CKO_DATA), bad}; });
        EXPECT_EQ(r.rv, CKR_ATTRIBUTE_VALUE_INVALID) << std::hex << bad.type;
    }
}

TEST_P(TokenBehaviour, AttributesBeyondOneReplyAreRefusedNotCut)
{
    uint32_t s = userSession();
    uint32_t object = token().create(s, {number(CKA_CLASS, CKO_DATA), bytes(CKA_VALUE, Bytes(1500, 'v'))});
    require(call(fn::SetAttributeValue, s,
                 [&](Request& r) {
                     r.handle = object;
                     r.templ = {bytes(CKA_LABEL, Bytes(1500, 'l'))};
                 }),
            "C_SetAttributeValue");
    Response both = call(fn::GetAttributeValue, s, [&](Request& r) {
        r.handle = object;
        r.templ = {typeOnly(CKA_LABEL), typeOnly(CKA_VALUE)};
    });
    EXPECT_EQ(both.rv, CKR_DATA_LEN_RANGE);
    ASSERT_EQ(both.attributes.size(), 1u);
    EXPECT_EQ(both.attributes[0].value->size(), 1500u);
    EXPECT_EQ(token().attribute(s, object, CKA_VALUE).size(), 1500u);
}

}  // namespace
}  // namespace vexa::test::engine
