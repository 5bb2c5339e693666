#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>

#include "Exception.h"

namespace {

using corvel::Exception;
using corvel::IOException;
using corvel::Throwable;

struct WideCase {
    const char* name;
    const wchar_t* text;
    std::string message;
};

void PrintTo(const WideCase& param, std::ostream* out) { *out << param.name; }

class WideMessageTest : public ::testing::TestWithParam<WideCase> {};

TEST_P(WideMessageTest, KeepsTheLowByteOfEachCharacter)
{
    const IOException error(GetParam().text);
    EXPECT_EQ(std::string(error.what()), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Texts, WideMessageTest,
                         ::testing::Values(WideCase{"Null", nullptr, "null"},
                                           WideCase{"PlainAscii", L"Device gone", "Device gone"},
                                           WideCase{"Empty", L"", ""}, WideCase{"Latin1", L"caf\u00e9", "caf\xe9"},
                                           WideCase{"AboveFF", L"\u2041\u0142x", "ABx"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ExceptionTest, NullTextMessageReadsNull)
{
    EXPECT_STREQ(IOException(static_cast<const char*>(nullptr)).what(), "null");
    EXPECT_STREQ(IOException("Device not detected").what(), "Device not detected");
}

TEST(ExceptionTest, CodeDefaultsToMinusOne)
{
    EXPECT_EQ(IOException("x").getCode(), -1);
    EXPECT_EQ(IOException(L"x").getCode(), -1);
    EXPECT_EQ(IOException("x", 111).getCode(), 111);
}

TEST(ExceptionTest, EveryLevelOfTheFamilyCatchesIt)
{
    auto thrower = [] { throw IOException("connection failed"); };
    try {
        thrower();
    } catch (const std::exception& error) {
        EXPECT_STREQ(error.what(), "connection failed");
    }
    EXPECT_THROW(thrower(), Throwable);
    EXPECT_THROW(thrower(), Exception);
    try {
        thrower();
    } catch (const Throwable& error) {
        EXPECT_EQ(error.getCode(), -1);
    }
}

TEST(ExceptionTest, CauseIsReleasedWithTheException)
{
    auto cause = std::make_shared<const IOException>("inner");
    const std::weak_ptr<const IOException> watch = cause;
    {
        IOException outer("outer");
        EXPECT_EQ(outer.getCause(), nullptr);
        outer.setCause(std::move(cause));
        EXPECT_STREQ(outer.getCause()->what(), "inner");
        IOException copy = outer;
        EXPECT_STREQ(copy.getCause()->what(), "inner");
    }
    EXPECT_TRUE(watch.expired());
}

}  // namespace
