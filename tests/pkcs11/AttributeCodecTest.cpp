#include <gtest/gtest.h>
#include <pb_decode.h>
#include <pb_encode.h>

#include <cstring>

#include "AttributeCodec.h"
#include "ScriptedToken.h"
#include "vexa.pb.h"

using namespace vexa::pkcs11;
using vexa::test::Bytes;
using vexa::test::Request;
using vexa::test::Response;
using vexa::test::WireAttribute;

namespace {

bool encodeWith(void (*install)(pb_callback_t&, AttributeTemplate&), CK_ATTRIBUTE* attributes, CK_ULONG count,
                Bytes& out)
{
    AttributeTemplate list{attributes, count};
    RpcRequest request = RpcRequest_init_zero;
    request.function = 35;
    install(request.template_, list);
    out.assign(2048, 0);
    pb_ostream_t stream = pb_ostream_from_buffer(out.data(), out.size());
    const bool encoded = pb_encode(&stream, RpcRequest_fields, &request);
    out.resize(stream.bytes_written);
    return encoded;
}

std::vector<WireAttribute> written(CK_ATTRIBUTE* attributes, CK_ULONG count)
{
    Bytes bytes;
    EXPECT_TRUE(encodeWith(setTemplate, attributes, count, bytes));
    return vexa::test::decodeRequest(bytes).templ;
}

bool readReply(const Response& reply, CReceivedAttributes& list)
{
    const Bytes bytes = vexa::test::encodeResponse(reply);
    RpcResponse response = RpcResponse_init_zero;
    setAttributeReader(response.attributes, list);
    pb_istream_t stream = pb_istream_from_buffer(bytes.data(), bytes.size());
    return pb_decode(&stream, RpcResponse_fields, &response);
}

}  // namespace

TEST(AttributeCodecTest, ArrayAttributesAreKnownByTheirTypeBit)
{
    EXPECT_TRUE(isArrayAttribute(CKA_WRAP_TEMPLATE));
    EXPECT_TRUE(isArrayAttribute(CKA_ALLOWED_MECHANISMS));
    EXPECT_FALSE(isArrayAttribute(CKA_VALUE));
}

TEST(AttributeCodecTest, TemplateSendsEachValueInItsClassField)
{
    CK_BBOOL yes = CK_TRUE;
    CK_BBOOL no = CK_FALSE;
    CK_ULONG bits = 0x100000800;  // only the low 32 bits travel
    uint32_t shortClass = CKO_SECRET_KEY;
    uint16_t tinyLength = 0x1234;
    char label[] = "abc";
    CK_BYTE id[1] = {9};
    CK_ATTRIBUTE attributes[] = {
        {CKA_TOKEN, &yes, 1},
        {CKA_PRIVATE, &no, 1},
        {CKA_LABEL, label, 3},
        {CKA_MODULUS_BITS, &bits, sizeof bits},
        {CKA_CLASS, &shortClass, sizeof shortClass},
        {CKA_VALUE_LEN, &tinyLength, sizeof tinyLength},
        {CKA_ID, id, 0},
        {0x100000003, label, 1},
    };
    const auto sent = written(attributes, 8);
    ASSERT_EQ(sent.size(), 8u);

    EXPECT_EQ(sent[0].flag, true);
    EXPECT_FALSE(sent[0].value || sent[0].valueLength || sent[0].number);
    EXPECT_EQ(sent[1].flag, false);
    EXPECT_EQ(sent[2].valueLength, 3u);
    EXPECT_EQ(sent[2].value, Bytes({'a', 'b', 'c'}));
    EXPECT_FALSE(sent[2].flag || sent[2].number);
    EXPECT_EQ(sent[3].number, 0x800u);
    EXPECT_FALSE(sent[3].value || sent[3].valueLength);
    // Shorter numbers are read within their length (ASan catches an over-read).
    EXPECT_EQ(sent[4].number, CKO_SECRET_KEY);
    EXPECT_EQ(sent[5].number, 0x1234u);
    // A buffer of length 0 says the value is empty.
    EXPECT_EQ(sent[6].valueLength, 0u);
    EXPECT_FALSE(sent[6].value);
    EXPECT_EQ(sent[7].type, 3u);
}

TEST(AttributeCodecTest, ArraysTravelEntryByEntryByTheirRealType)
{
    // Values above 32 bits are cut like every CK_ULONG.
    CK_MECHANISM_TYPE allowed[] = {CKM_AES_ECB, 0x100000000 | CKM_AES_CBC, CKM_AES_GCM};
    CK_OBJECT_CLASS cls = CKO_SECRET_KEY;
    CK_BBOOL yes = CK_TRUE;
    char label[] = "inner";
    CK_ATTRIBUTE members[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_EXTRACTABLE, &yes, 1}, {CKA_LABEL, label, 5}};
    CK_ATTRIBUTE none[1] = {};
    CK_ATTRIBUTE attributes[] = {
        {CKA_ALLOWED_MECHANISMS, allowed, sizeof allowed},
        {CKA_WRAP_TEMPLATE, members, sizeof members},
        {CKA_DERIVE_TEMPLATE, none, 0},
    };
    ASSERT_TRUE(templateFits(attributes, 3));
    const auto sent = written(attributes, 3);
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].valueLength, 3u) << "arrays count their entries";
    EXPECT_EQ(sent[0].mechanisms, std::vector<uint32_t>({CKM_AES_ECB, CKM_AES_CBC, CKM_AES_GCM}));
    EXPECT_FALSE(sent[0].value);
    EXPECT_EQ(sent[1].valueLength, 3u);
    ASSERT_EQ(sent[1].members.size(), 3u);
    EXPECT_EQ(sent[1].members[0].number, CKO_SECRET_KEY);
    EXPECT_EQ(sent[1].members[1].flag, true);
    EXPECT_EQ(sent[1].members[2].value, Bytes({'i', 'n', 'n', 'e', 'r'}));
    EXPECT_FALSE(sent[1].value) << "no record, and no address in one, travels";
    EXPECT_EQ(sent[2].valueLength, 0u);
    EXPECT_TRUE(sent[2].members.empty());
}

TEST(AttributeCodecTest, ArraysThatAreNotWholeEntriesDoNotFit)
{
    CK_MECHANISM_TYPE allowed[2] = {CKM_AES_ECB, CKM_AES_CBC};
    CK_ATTRIBUTE nestedArray[] = {{CKA_ALLOWED_MECHANISMS, allowed, sizeof allowed}};
    CK_ATTRIBUTE lengthWithoutValue[] = {{CKA_LABEL, nullptr, 4}};
    std::vector<CK_MECHANISM_TYPE> many(65, CKM_AES_ECB);
    const CK_ATTRIBUTE cases[] = {
        {CKA_ALLOWED_MECHANISMS, allowed, sizeof allowed - 1},
        {CKA_ALLOWED_MECHANISMS, many.data(), many.size() * sizeof(CK_MECHANISM_TYPE)},
        {CKA_WRAP_TEMPLATE, nestedArray, sizeof(CK_ATTRIBUTE) - 4},
        {CKA_WRAP_TEMPLATE, nestedArray, sizeof nestedArray},
        {CKA_UNWRAP_TEMPLATE, lengthWithoutValue, sizeof lengthWithoutValue},
    };
    for (const CK_ATTRIBUTE& c : cases) {
        EXPECT_FALSE(templateFits(&c, 1)) << std::hex << c.type << " " << c.ulValueLen;
    }
}

TEST(AttributeCodecTest, AttributeWithoutValueSendsItsLengthAndClearsIt)
{
    CK_ATTRIBUTE attributes[] = {
        {CKA_VALUE, nullptr, 16},
        {CKA_MODULUS, nullptr, 0},
        {CKA_CLASS, nullptr, 8},
    };
    const auto sent = written(attributes, 3);
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].valueLength, 16u);
    EXPECT_EQ(sent[0].value, Bytes());
    EXPECT_EQ(attributes[0].ulValueLen, 0u);
    EXPECT_EQ(sent[1].valueLength, 0u);
    EXPECT_FALSE(sent[1].value);
    EXPECT_EQ(sent[2].valueLength, 8u);
    EXPECT_FALSE(sent[2].number);
    EXPECT_EQ(attributes[2].ulValueLen, 0u);
}

TEST(AttributeCodecTest, TypeOnlyWriterSendsTypesAlone)
{
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE attributes[] = {{CKA_TOKEN, &yes, 1}, {CKA_LABEL, nullptr, 7}};
    Bytes bytes;
    ASSERT_TRUE(encodeWith(setTypeOnlyTemplate, attributes, 2, bytes));
    const auto sent = vexa::test::decodeRequest(bytes).templ;
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].type, CKA_TOKEN);
    EXPECT_EQ(sent[1].type, CKA_LABEL);
    for (const auto& attribute : sent) {
        EXPECT_FALSE(attribute.flag || attribute.valueLength || attribute.value || attribute.number);
    }
    EXPECT_EQ(attributes[1].ulValueLen, 7u);
}

TEST(AttributeCodecTest, NullTemplateWritesNothingOrFails)
{
    for (auto install : {setTemplate, setTypeOnlyTemplate}) {
        Bytes bytes;
        ASSERT_TRUE(encodeWith(install, nullptr, 0, bytes));
        EXPECT_TRUE(vexa::test::decodeRequest(bytes).templ.empty());
        EXPECT_FALSE(encodeWith(install, nullptr, 2, bytes));
    }
}

TEST(AttributeCodecTest, ReaderKeepsEachFormAndItsBytes)
{
    Response reply;
    WireAttribute claimed;  // claims more bytes than it brings
    claimed.type = CKA_ID;
    claimed.valueLength = 10;
    claimed.value = Bytes{1, 2};
    WireAttribute bare;
    bare.type = CKA_SUBJECT;
    reply.attributes = {vexa::test::numberAttribute(CKA_CLASS, 3),
                        vexa::test::flagAttribute(CKA_TOKEN, true),
                        vexa::test::bytesAttribute(CKA_LABEL, {'h', 'i'}),
                        claimed,
                        bare,
                        vexa::test::numberAttribute(CKA_CLASS, 9)};
    CReceivedAttributes list;
    ASSERT_TRUE(readReply(reply, list));
    ASSERT_EQ(list.size(), 6u);

    const ReceivedAttribute* number = list.find(CKA_CLASS);
    ASSERT_NE(number, nullptr);
    EXPECT_EQ(number->form, AttributeKind::Numeric);
    EXPECT_EQ(number->number, 3u);  // the first of a type wins
    EXPECT_EQ(number->length, 4u);
    uint32_t copied = 0;
    std::memcpy(&copied, number->bytes(), number->available());
    EXPECT_EQ(copied, 3u);

    const ReceivedAttribute* flag = list.find(CKA_TOKEN);
    ASSERT_NE(flag, nullptr);
    EXPECT_EQ(flag->form, AttributeKind::Boolean);
    EXPECT_EQ(flag->length, 1u);
    EXPECT_EQ(flag->bytes()[0], 1);

    const ReceivedAttribute* label = list.find(CKA_LABEL);
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->form, AttributeKind::Bytes);
    EXPECT_EQ(label->length, 2u);
    EXPECT_EQ(Bytes(label->bytes(), label->bytes() + label->available()), Bytes({'h', 'i'}));

    EXPECT_EQ(list.find(CKA_ID)->length, 10u);
    EXPECT_EQ(list.find(CKA_ID)->available(), 2u);
    EXPECT_EQ(list.find(CKA_SUBJECT)->length, 0u);
    EXPECT_EQ(list.find(CKA_SUBJECT)->available(), 0u);
    EXPECT_EQ(list.find(CKA_VALUE), nullptr);
}

TEST(AttributeCodecTest, ReaderTakesFortyAttributesAndRefusesMore)
{
    Response reply;
    for (uint32_t i = 0; i < kMaxReceivedAttributes; ++i) {
        reply.attributes.push_back(vexa::test::numberAttribute(0x1000 + i, i));
    }
    CReceivedAttributes forty;
    EXPECT_TRUE(readReply(reply, forty));
    EXPECT_EQ(forty.size(), kMaxReceivedAttributes);

    reply.attributes.push_back(vexa::test::numberAttribute(0x2000, 1));
    CReceivedAttributes tooMany;
    EXPECT_FALSE(readReply(reply, tooMany));
    EXPECT_EQ(tooMany.size(), kMaxReceivedAttributes);
}
