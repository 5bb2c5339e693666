#include <gtest/gtest.h>

#include <cstring>

#include "SerialId.h"

using namespace vexa::pkcs11;

namespace {

TEST(SerialIdTest, TextRoundTripKeepsMemoryOrder)
{
    const auto id = serialIdFromText("0123456789AB");
    ASSERT_TRUE(id.has_value());
    uint8_t bytes[8];
    std::memcpy(bytes, &*id, sizeof bytes);
    const uint8_t expected[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0, 0};
    EXPECT_EQ(std::memcmp(bytes, expected, sizeof bytes), 0);
    EXPECT_EQ(serialIdToText(*id), "0123456789AB");
}

TEST(SerialIdTest, ParsingTable)
{
    struct Case {
        const char* text;
        const char* normalised;  // nullptr: refused
    };
    const Case cases[] = {
        {"abcdef012345", "ABCDEF012345"}, {"000000000000", "000000000000"}, {"0123456789AB.sock", "0123456789AB"},
        {"0123456789A", nullptr},         {"0123456789AG", nullptr},        {"", nullptr},
        {"zz23456789AB", nullptr},
    };
    for (const Case& c : cases) {
        const auto id = serialIdFromText(c.text);
        if (c.normalised == nullptr) {
            EXPECT_FALSE(id.has_value()) << c.text;
        } else {
            ASSERT_TRUE(id.has_value()) << c.text;
            EXPECT_EQ(serialIdToText(*id), c.normalised);
        }
    }
}

}  // namespace
