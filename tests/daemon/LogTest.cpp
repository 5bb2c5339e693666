#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <thread>

#include "DaemonLog.h"

namespace vexa::daemon {
namespace {

struct Output {
    std::string out;
    std::string err;
};

template <typename Action>
Output Capture(Action action)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    action();
    Output output;
    output.out = testing::internal::GetCapturedStdout();
    output.err = testing::internal::GetCapturedStderr();
    return output;
}

class LogTest : public testing::Test {
protected:
    void TearDown() override { setLogThreshold(30); }
};

std::string Prefix()
{
    std::ostringstream id;
    id << std::this_thread::get_id();
    return "tid:" + id.str() + " ";
}

TEST_F(LogTest, LevelPicksWordAndStream)
{
    struct Case {
        int level;
        const char* word;
        bool toStderr;
    };
    const Case cases[] = {{10, "TRACE", false}, {20, "DEBUG", false}, {30, "INFO", false}, {31, "", true},
                          {35, "", true},       {40, "WARN", true},   {50, "ERROR", true}, {-3, "", false}};
    setLogThreshold(INT32_MIN);
    for (const Case& c : cases) {
        const Output output = Capture([&] { LogMessage(c.level, "value %d", 7); });
        const std::string line = Prefix() + c.word + " : value 7\n";
        EXPECT_EQ(c.toStderr ? output.err : output.out, line) << c.level;
        EXPECT_EQ(c.toStderr ? output.out : output.err, "") << c.level;
    }
}

TEST_F(LogTest, ThresholdDropsLowerLevelsOnly)
{
    const Output output = Capture([] {
        LogMessage(20, "dropped");
        LogMessage(30, "kept info");
        LogMessage(50, "kept error");
        setLogThreshold(51);
        LogMessage(50, "dropped error");
    });
    EXPECT_EQ(output.out, Prefix() + "INFO : kept info\n");
    EXPECT_EQ(output.err, Prefix() + "ERROR : kept error\n");
}

TEST_F(LogTest, FormatEndingInNewlineLeavesEmptyLine)
{
    const Output output = Capture([] { LogMessage(50, "accept returned %d\n", -1); });
    EXPECT_EQ(output.err, Prefix() + "ERROR : accept returned -1\n\n");
}

std::string Formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Formatted(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = FormatLogText(format, args);
    va_end(args);
    return text;
}

TEST_F(LogTest, TextMustFitTheBufferWithItsTerminator)
{
    const std::string longest(2047, 'a');
    EXPECT_EQ(Formatted("%s", longest.c_str()), longest);
    EXPECT_EQ(Formatted("%s%s", longest.c_str(), "b"), "log printbuf too small.");
    EXPECT_EQ(Formatted("%s", std::string(100000, 'c').c_str()), "log printbuf too small.");
    EXPECT_EQ(Formatted("%s", ""), "log printbuf too small.");
    EXPECT_EQ(Formatted("x"), "x");
}

TEST_F(LogTest, OverlongMessageWritesNoPartOfIt)
{
    const Output output = Capture([] { LogMessage(30, "%s", std::string(2048, 'z').c_str()); });
    EXPECT_EQ(output.out, Prefix() + "INFO : log printbuf too small.\n");
}

}  // namespace
}  // namespace vexa::daemon
