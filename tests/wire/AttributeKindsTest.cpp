#include <gtest/gtest.h>

#include "wire/AttributeKinds.h"

using namespace vexa::wire;

TEST(AttributeKindsTest, KindsDecideTheField)
{
    const struct {
        CK_ATTRIBUTE_TYPE type;
        AttributeKind expected;
    } cases[] = {
        {CKA_CLASS, AttributeKind::Numeric},
        {CKA_MODULUS_BITS, AttributeKind::Numeric},
        {CKA_KEY_GEN_MECHANISM, AttributeKind::Numeric},
        {CKA_TOKEN, AttributeKind::Boolean},
        {CKA_WRAP_WITH_TRUSTED, AttributeKind::Boolean},
        {0x80000002, AttributeKind::Boolean},
        {CKA_LABEL, AttributeKind::Bytes},
        {CKA_VALUE, AttributeKind::Bytes},
        {CKA_WRAP_TEMPLATE, AttributeKind::Template},
        {CKA_UNWRAP_TEMPLATE, AttributeKind::Template},
        {CKA_DERIVE_TEMPLATE, AttributeKind::Template},
        {CKA_ALLOWED_MECHANISMS, AttributeKind::MechanismList},
        {CKF_ARRAY_ATTRIBUTE | 0x123, AttributeKind::Template},  // any other array holds records
        {0x80000001, AttributeKind::Bytes},
        // Only the whole type counts: a CK_ULONG whose low bits name a
        // numeric type is another type.
        {0x100000000 | CKA_CLASS, AttributeKind::Bytes},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(attributeKind(c.type), c.expected) << std::hex << c.type;
    }
}
