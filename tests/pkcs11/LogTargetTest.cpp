#include <gtest/gtest.h>

#include <fstream>
#include <iostream>
#include <regex>
#include <string>
#include <vector>

#include "AllocationCounter.h"
#include "CLogTarget.h"
#include "TempDir.h"

using namespace vexa::pkcs11;
using namespace corvel;

namespace {

class LogTargetTest : public ::testing::Test {
protected:
    std::vector<std::string> lines()
    {
        std::vector<std::string> result;
        std::ifstream file(dir.file("log"));
        for (std::string line; std::getline(file, line);) {
            result.push_back(line);
        }
        return result;
    }
    void useFile(int32_t level)
    {
        log.setLogLevel(level);
        log.openLogFile(dir.file("log"));
    }

    vexa::test::TempDir dir;
    CLogTarget log;
};

TEST_F(LogTargetTest, FilteredTraceLineCostsNoAllocation)
{
    useFile(kLogError);
    allocation::startCounting();
    log.logText(kLogTrace, "C_GetAttributeValue");
    const size_t allocations = allocation::stopCounting();
    EXPECT_EQ(allocations, 0u);
    EXPECT_TRUE(lines().empty());
}

TEST_F(LogTargetTest, LineCarriesSecondsThreadLevelAndText)
{
    useFile(kLogTrace);
    log.logFormat(kLogInfo, "token %s answered %d", "A", 7);
    const auto written = lines();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_TRUE(std::regex_match(written[0], std::regex(R"(\d+\.\d\d t:\d+ INFO : token A answered 7)"))) << written[0];
}

TEST_F(LogTargetTest, LevelFilter)
{
    struct Case {
        int32_t threshold;
        int32_t level;
        const char* name;  // nullptr: not written
    };
    const Case cases[] = {
        {kLogError, kLogWarn, nullptr},
        {kLogError, kLogError, "ERROR"},
        {kLogTrace, kLogTrace, "TRACE"},
        {kLogDebug, kLogTrace, nullptr},
        {kLogWarn, 45, ""},
        {kLogDisabled, kLogError, nullptr},
        {kLogInfo, kLogDebug, nullptr},
        {kLogInfo, kLogInfo, "INFO"},
    };
    for (const Case& c : cases) {
        std::remove(dir.file("log").c_str());
        useFile(c.threshold);
        log.logText(c.level, "message");
        const auto written = lines();
        if (c.name == nullptr) {
            EXPECT_TRUE(written.empty()) << c.threshold << "/" << c.level;
        } else {
            ASSERT_EQ(written.size(), 1u) << c.threshold << "/" << c.level;
            EXPECT_NE(written[0].find(std::string(" ") + c.name + " : message"), std::string::npos) << written[0];
            EXPECT_TRUE(log.isLevelEnabled(c.level));
        }
    }
}

TEST_F(LogTargetTest, TextOf2048CharactersOrEmptyIsReplaced)
{
    useFile(kLogError);
    const std::string longest(2047, 'x');
    log.logFormat(kLogError, "%s", longest.c_str());
    log.logFormat(kLogTrace, "%s", std::string(2048, 'y').c_str());
    log.logFormat(kLogTrace, "%s", "");
    const auto written = lines();
    ASSERT_EQ(written.size(), 3u);
    EXPECT_EQ(written[0].substr(written[0].size() - 2047), longest);
    for (size_t i = 1; i < 3; ++i) {
        EXPECT_NE(written[i].find(" ERROR : log printbuf too small."), std::string::npos) << written[i];
    }
}

TEST_F(LogTargetTest, InitialSettingsWriteNothing)
{
    testing::internal::CaptureStdout();
    log.logText(kLogError, "not shown");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(log.isLevelEnabled(kLogError));
    EXPECT_FALSE(log.isLevelEnabled(kLogError - 1));
}

TEST_F(LogTargetTest, ConsoleLineLeavesTheApplicationsStreamFormatAlone)
{
    log.setLogConsole(true);
    const auto flags = std::cout.flags();
    const auto precision = std::cout.precision();
    testing::internal::CaptureStdout();
    log.logText(kLogError, "to the console");
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(" ERROR : to the console\n"), std::string::npos) << out;
    EXPECT_EQ(std::cout.flags(), flags);
    EXPECT_EQ(std::cout.precision(), precision);
}

TEST_F(LogTargetTest, UnopenableFileLeavesLinesToTheConsoleOnly)
{
    log.openLogFile(dir.file("missing/dir/log"));
    log.setLogConsole(true);
    testing::internal::CaptureStdout();
    log.logText(kLogError, "to the console only");
    EXPECT_NE(testing::internal::GetCapturedStdout().find(" ERROR : to the console only\n"), std::string::npos);
    EXPECT_FALSE(std::ifstream(dir.file("missing/dir/log")).is_open());
}

}  // namespace
