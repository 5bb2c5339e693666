#include <gtest/gtest.h>

#include <tuple>

#include "DaemonSettings.h"

namespace vexa::daemon {
namespace {

using nlohmann::json;

DaemonConfig Merge(const json& file, const Words& words)
{
    DaemonConfig config;
    std::string error;
    EXPECT_TRUE(mergeSettings(file, words, config, error)) << error;
    return config;
}

TEST(MergeSettings, DefaultsWithoutFileOrOptions)
{
    const DaemonConfig config = Merge(nullptr, {});
    EXPECT_EQ(config.logThreshold, 30);
    EXPECT_EQ(config.port, "4443");
    EXPECT_EQ(config.serial, "");
    EXPECT_EQ(config.bindAddress, "localhost");
    EXPECT_EQ(config.daemon.transport, "");
    EXPECT_EQ(config.daemon.socketDir, "");
    EXPECT_EQ(config.caFile, "ca.pem");
    EXPECT_EQ(config.certFile, "server.pem");
    EXPECT_EQ(config.keyFile, "key.pem");
    EXPECT_EQ(config.clientCaFile, "");
}

struct StringSetting {
    const char* key;
    const char* option;
    std::string DaemonConfig::*field;
    std::string DaemonSettings::*daemonField;
};

void PrintTo(const StringSetting& c, std::ostream* out) { *out << c.key; }

std::string Get(const DaemonConfig& config, const StringSetting& setting)
{
    return setting.field != nullptr ? config.*setting.field : config.daemon.*setting.daemonField;
}

class StringSettingTest : public testing::TestWithParam<StringSetting> {};

TEST_P(StringSettingTest, FileReplacesDefaultAndOptionReplacesFile)
{
    const StringSetting& setting = GetParam();
    const json file = {{setting.key, "from-file"}};
    EXPECT_EQ(Get(Merge(file, {}), setting), "from-file");
    EXPECT_EQ(Get(Merge(file, {setting.option, "from-option"}), setting), "from-option");
    EXPECT_EQ(Get(Merge(nullptr, {setting.option, "from-option"}), setting), "from-option");
}

TEST_P(StringSettingTest, ValueOfWrongJsonTypeIsIgnored)
{
    const StringSetting& setting = GetParam();
    const DaemonConfig defaults;
    for (const json& wrong : {json(5000), json(true), json::array({"x"}), json::object({{"a", "b"}}), json()}) {
        EXPECT_EQ(Get(Merge({{setting.key, wrong}}, {}), setting), Get(defaults, setting)) << wrong.dump();
    }
}

TEST_P(StringSettingTest, OptionAsLastWordLeavesFileValue)
{
    const StringSetting& setting = GetParam();
    EXPECT_EQ(Get(Merge({{setting.key, "from-file"}}, {"x", setting.option}), setting), "from-file");
}

INSTANTIATE_TEST_SUITE_P(AllStrings, StringSettingTest,
                         testing::Values(StringSetting{"port", "-p", &DaemonConfig::port, nullptr},
                                         StringSetting{"device", "-d", &DaemonConfig::serial, nullptr},
                                         StringSetting{"bindaddress", "-i", &DaemonConfig::bindAddress, nullptr},
                                         StringSetting{"transport", "-t", nullptr, &DaemonSettings::transport},
                                         StringSetting{"sockdir", "-sd", nullptr, &DaemonSettings::socketDir},
                                         StringSetting{"cafile", "-ca", &DaemonConfig::caFile, nullptr},
                                         StringSetting{"certfile", "-crt", &DaemonConfig::certFile, nullptr},
                                         StringSetting{"keyfile", "-key", &DaemonConfig::keyFile, nullptr},
                                         StringSetting{"clientcafile", "-cca", &DaemonConfig::clientCaFile, nullptr}),
                         [](const testing::TestParamInfo<StringSetting>& info) { return std::string(info.param.key); });

TEST(MergeSettings, OptionValueIsTheNextWordWhateverItIs)
{
    const DaemonConfig config = Merge(nullptr, {"-t", "-sd", "/run/x", "-p", "1", "-p", "2", "-i", "-d"});
    EXPECT_EQ(config.daemon.transport, "-sd");
    EXPECT_EQ(config.daemon.socketDir, "/run/x");
    EXPECT_EQ(config.port, "1");  // first occurrence wins
    EXPECT_EQ(config.bindAddress, "-d");
    EXPECT_EQ(config.serial, "");  // "-d" is the last word
}

TEST(MergeSettings, OptionWordsAreMatchedWhole)
{
    const DaemonConfig config = Merge(nullptr, {"-T", "unix", "-tt", "x", "-sdx", "/y", "-P", "9"});
    EXPECT_EQ(config.daemon.transport, "");
    EXPECT_EQ(config.daemon.socketDir, "");
    EXPECT_EQ(config.port, "4443");
}

TEST(MergeSettings, DevicePlaceholderCountsAsNotSet)
{
    const json file = {{"device", "devicesn"}};
    EXPECT_EQ(Merge(file, {}).serial, "");
    EXPECT_EQ(Merge(file, {"-d", "00AB"}).serial, "00AB");
    EXPECT_EQ(Merge({{"device", "devicesn2"}}, {}).serial, "devicesn2");
}

TEST(MergeSettings, EmptyFileStringReplacesDefault) { EXPECT_EQ(Merge({{"bindaddress", ""}}, {}).bindAddress, ""); }

struct ThresholdCase {
    const char* name;
    json file;
    Words words;
    int32_t expected;
};

void PrintTo(const ThresholdCase& c, std::ostream* out) { *out << c.name; }

class LogThresholdTest : public testing::TestWithParam<ThresholdCase> {};

TEST_P(LogThresholdTest, Merges)
{
    EXPECT_EQ(Merge(GetParam().file, GetParam().words).logThreshold, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LogThresholdTest,
    testing::Values(ThresholdCase{"FileInteger", {{"loglevel", 10}}, {}, 10},
                    ThresholdCase{"FileFractionCutTowardZero", {{"loglevel", 10.9}}, {}, 10},
                    ThresholdCase{"FileNegativeFraction", {{"loglevel", -10.9}}, {}, -10},
                    ThresholdCase{"FileUnsigned", {{"loglevel", 50u}}, {}, 50},
                    ThresholdCase{"FileStringIgnored", {{"loglevel", "10"}}, {}, 30},
                    ThresholdCase{"FileBoolIgnored", {{"loglevel", true}}, {}, 30},
                    ThresholdCase{"OptionWinsOverFile", {{"loglevel", 10.9}}, {"-v", "50"}, 50},
                    ThresholdCase{"OptionBlanksAndTrailingLetters", nullptr, {"-v", "  \t20abc"}, 20},
                    ThresholdCase{"OptionSigned", nullptr, {"-v", "-7"}, -7},
                    ThresholdCase{"OptionPlus", nullptr, {"-v", "+40"}, 40},
                    ThresholdCase{"OptionInt32Limits", nullptr, {"-v", "-2147483648"}, INT32_MIN},
                    ThresholdCase{"OptionReplacesOutOfRangeFileValue", {{"loglevel", 1e30}}, {"-v", "20"}, 20},
                    ThresholdCase{"OptionWithoutValue", {{"loglevel", 40}}, {"-v"}, 40}),
    [](const testing::TestParamInfo<ThresholdCase>& info) { return std::string(info.param.name); });

TEST(MergeSettings, RejectsThresholdThatIsNoNumberOrOutOfRange)
{
    const std::vector<std::pair<json, Words>> cases = {
        {nullptr, {"-v", "abc"}},         {nullptr, {"-v", ""}},
        {nullptr, {"-v", " -"}},          {nullptr, {"-v", "2147483648"}},
        {nullptr, {"-v", "-2147483649"}}, {nullptr, {"-v", "99999999999999999999999"}},
        {{{"loglevel", 1e30}}, {}},       {{{"loglevel", 4294967296u}}, {}},
        {{{"loglevel", -3e9}}, {}},
    };
    for (const auto& [file, words] : cases) {
        DaemonConfig config;
        std::string error;
        EXPECT_FALSE(mergeSettings(file, words, config, error)) << file.dump();
        EXPECT_NE(error.find("Invalid log level"), std::string::npos) << error;
    }
}

// The settings that take a positive number: from the file (a JSON number, a
// fraction cut) or the option, which wins; anything else stops the daemon.
struct PositiveCase {
    const char* key;
    const char* option;
    uint32_t DaemonSettings::*field;
    uint32_t unset;
    std::string largest;
    std::string tooLarge;
    const char* error;
};

const PositiveCase kPositiveSettings[] = {
    {"tokentimeout", "-to", &DaemonSettings::tokenTimeout, 0, "4294967295", "4294967296", "Invalid token time-out"},
    {"maxclients", "-mc", &DaemonSettings::maxClients, 0, "1024", "1025", "Invalid number of clients per token"},
};

TEST(MergeSettings, PositiveNumbersFromFileOrOption)
{
    for (const PositiveCase& c : kPositiveSettings) {
        const std::vector<std::tuple<json, Words, uint32_t>> cases = {
            {nullptr, {}, c.unset},
            {{{c.key, 250}}, {}, 250},
            {{{c.key, 250.9}}, {}, 250},
            {{{c.key, "250"}}, {}, c.unset},
            {{{c.key, 250}}, {c.option, " 7"}, 7},
            {nullptr, {c.option, c.largest}, static_cast<uint32_t>(std::stoul(c.largest))},
        };
        for (const auto& [file, words, expected] : cases) {
            EXPECT_EQ(Merge(file, words).daemon.*c.field, expected) << c.key << " " << file.dump();
        }
    }
}

TEST(MergeSettings, RejectsPositiveNumberSettingsOutOfRange)
{
    for (const PositiveCase& c : kPositiveSettings) {
        const std::vector<std::pair<json, Words>> cases = {
            {nullptr, {c.option, "0"}},  {nullptr, {c.option, "abc"}},
            {nullptr, {c.option, "-5"}}, {nullptr, {c.option, c.tooLarge}},
            {{{c.key, -1}}, {}},         {{{c.key, 1e30}}, {}},
            {{{c.key, 0}}, {}},          {nullptr, {c.option, "+5"}},
        };
        for (const auto& [file, words] : cases) {
            DaemonConfig config;
            std::string error;
            EXPECT_FALSE(mergeSettings(file, words, config, error)) << c.key << " " << file.dump();
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
        }
    }
}

TEST(MergeSettings, RejectsTopLevelValueThatIsNotAnObject)
{
    for (const json& file : {json::array({1}), json(5), json("text"), json(false)}) {
        DaemonConfig config;
        std::string error;
        EXPECT_FALSE(mergeSettings(file, {"-t", "unix"}, config, error)) << file.dump();
        EXPECT_NE(error.find("must hold a JSON object"), std::string::npos) << error;
    }
}

TEST(MergeSettings, OtherKeysAreIgnored)
{
    const DaemonConfig config = Merge({{"Port", "1"}, {"extra", {1, 2}}}, {});
    EXPECT_EQ(config.port, "4443");
}

}  // namespace
}  // namespace vexa::daemon
