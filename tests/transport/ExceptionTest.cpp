#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "Exception.h"

namespace {

using corvel::Exception;
using corvel::IOException;
using corvel::Throwable;
using corvel::TransportFailure;

struct WideCase {
    const char* name;
    const wchar_t* text;
    std::string message;
};

void PrintTo(const WideCase& param, std::ostream* out) { *out << param.name; }

class WideMessageTest : public ::testing::TestWithParam<WideCase> {};

TEST_P(WideMessageTest, KeepsTheLowByteOfEachCharacter)
{
    const IOException error(TransportFailure::Closed, GetParam().text);
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
    EXPECT_STREQ(IOException(TransportFailure::Closed, static_cast<const char*>(nullptr)).what(), "null");
    EXPECT_STREQ(IOException(TransportFailure::Unreachable, "Device not detected").what(), "Device not detected");
}

TEST(ExceptionTest, CarriesItsKindWhicheverTextItHas)
{
    const TransportFailure kinds[] = {TransportFailure::Unreachable, TransportFailure::TimedOut,
                                      TransportFailure::BrokenFraming, TransportFailure::TooLong,
                                      TransportFailure::Closed};
    for (const TransportFailure kind : kinds) {
        SCOPED_TRACE(static_cast<int>(kind));
        EXPECT_EQ(IOException(kind, "x").failure(), kind);
        EXPECT_EQ(IOException(kind, L"x").failure(), kind);
        EXPECT_EQ(IOException(kind, std::string("x")).failure(), kind);
    }
}

TEST(ExceptionTest, EveryLevelOfTheFamilyCatchesIt)
{
    auto thrower = [] { throw IOException(TransportFailure::Unreachable, "connection failed"); };
    try {
        thrower();
    } catch (const std::exception& error) {
        EXPECT_STREQ(error.what(), "connection failed");
    }
    EXPECT_THROW(thrower(), Throwable);
    EXPECT_THROW(thrower(), Exception);
    try {
        thrower();
    } catch (const IOException& error) {
        EXPECT_EQ(error.failure(), TransportFailure::Unreachable);
    }
}

}  // namespace
