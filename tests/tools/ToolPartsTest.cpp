// vexa-tool's parts that need no token: result names, derivation paths, the
// configuration plan, argument parsing, the progress line and the event log
// read through a stand-in for bReadLogEntries.
#include <gtest/gtest.h>

#include "Arguments.h"
#include "ConfigPlan.h"
#include "DerivationPath.h"
#include "Errors.h"
#include "EventLogReader.h"
#include "Hex.h"
#include "Progress.h"
#include "ResultNames.h"

namespace vexa::tool {
namespace {

TEST(ResultNames, NamesStandardAndVendorCodes)
{
    const struct {
        unsigned long rv;
        const char* text;
    } cases[] = {
        {0x0, "CKR_OK (0x0)"},
        {0xa0, "CKR_PIN_INCORRECT (0xa0)"},
        {0x90, "CKR_OPERATION_ACTIVE (0x90)"},
        {0x150, "CKR_BUFFER_TOO_SMALL (0x150)"},
        {0x190, "CKR_CRYPTOKI_NOT_INITIALIZED (0x190)"},
        {0x80000001, "CKR_VEXA_NO_BITCOIN_KEY (0x80000001)"},
        {0x80000002, "CKR_VEXA_BITCOIN_KEY_EXISTS (0x80000002)"},
        {0x80000003, "unknown result (0x80000003)"},
        {0x4, "unknown result (0x4)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(describeResult(c.rv), c.text);
    }
}

TEST(ResultNames, TokenErrorNamesTheCallAndTheResult)
{
    EXPECT_STREQ(TokenError("C_Login", 0xa0).what(), "C_Login: CKR_PIN_INCORRECT (0xa0)");
}

TEST(DerivationPath, ParsesWhatUsersWrite)
{
    const uint32_t h = kHardenedStep;
    const struct {
        const char* text;
        std::optional<std::vector<uint32_t>> path;
    } cases[] = {
        {"m", std::vector<uint32_t>{}},
        {"m/0", std::vector<uint32_t>{0}},
        {"m/44'/0'/0'/0/7", std::vector<uint32_t>{44 | h, h, h, 0, 7}},
        {"m/1h/2H/3", std::vector<uint32_t>{1 | h, 2 | h, 3}},
        {"m/2147483647'", std::vector<uint32_t>{0xFFFFFFFFu}},
        {"m/2147483648", std::nullopt},  // the hardened bit is not an index
        {"m/99999999999", std::nullopt},
        {"", std::nullopt},
        {"m/", std::nullopt},
        {"m/1/", std::nullopt},
        {"m//1", std::nullopt},
        {"44/0", std::nullopt},
        {"m/-1", std::nullopt},
        {"m/1''", std::nullopt},
        {"m/x", std::nullopt},
        {"m/'", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseDerivationPath(c.text), c.path) << c.text;
    }
}

TEST(ConfigPlan, MapsValuesOntoTheTokensCalls)
{
    using Steps = std::vector<ConfigStep>;
    const struct {
        const char* what;
        std::vector<std::pair<std::string, std::string>> assignments;
        Steps steps;
    } cases[] = {
        {"config1", {{"config1", "5"}}, Steps{{ConfigCall::Byte, 5, 0}}},
        {"config2 alone", {{"config2", "6"}}, Steps{{ConfigCall::Value, 6, 2}}},
        {"config3 alone", {{"config3", "255"}}, Steps{{ConfigCall::Value, 255, 3}}},
        {"config2 and config3 in one call", {{"config3", "7"}, {"config2", "6"}}, Steps{{ConfigCall::BytePair, 6, 7}}},
        {"config4", {{"config4", "65535"}}, Steps{{ConfigCall::Word, 65535, 0}}},
        {"all, in the order of the values",
         {{"config4", "700"}, {"config1", "1"}, {"config2", "2"}, {"config3", "3"}},
         Steps{{ConfigCall::Byte, 1, 0}, {ConfigCall::BytePair, 2, 3}, {ConfigCall::Word, 700, 0}}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(planConfigChange(c.assignments, "config set"), c.steps) << c.what;
    }
}

TEST(ConfigPlan, RefusesWhatTheTokenCannotHold)
{
    const std::vector<std::vector<std::pair<std::string, std::string>>> cases = {
        {{"config1", "256"}},
        {{"config3", "-1"}},
        {{"config4", "65536"}},
        {{"config2", "0x10"}},
        {{"config2", ""}},
        {{"config5", "1"}},
        {{"config1", "1"}, {"config1", "2"}},
    };
    for (const auto& assignments : cases) {
        EXPECT_THROW(planConfigChange(assignments, "config set"), UsageError) << assignments.front().first;
    }
}

TEST(Arguments, SplitsOptionsFromPositionalWords)
{
    const std::vector<OptionSpec> specs = {{"--pin", "PIN", ""}, {"--quiet", "", ""}};
    const CArguments args({"0", "--pin", "1234", "m/1", "--quiet", "--", "--pin"}, specs, "btc pub");
    EXPECT_EQ(args.positional(), (std::vector<std::string>{"0", "m/1", "--pin"}));
    EXPECT_EQ(args.value("--pin"), "1234");
    EXPECT_TRUE(args.has("--quiet"));
    EXPECT_FALSE(args.help());

    EXPECT_EQ(CArguments({"--pin=12=34"}, specs, "").value("--pin"), "12=34");
    EXPECT_TRUE(CArguments({"0", "-h"}, specs, "").help());
    // A lone "-" is a file name (standard input or output).
    EXPECT_EQ(CArguments({"-"}, specs, "").positional(), std::vector<std::string>{"-"});
}

TEST(Arguments, RefusesUnknownOptionsAndMissingValues)
{
    const std::vector<OptionSpec> specs = {{"--pin", "PIN", ""}, {"--quiet", "", ""}};
    const std::vector<std::vector<std::string>> cases = {{"--pn", "1"}, {"--pin"}, {"--quiet=1"}, {"-x"}};
    for (const auto& words : cases) {
        try {
            CArguments(words, specs, "btc pub");
            ADD_FAILURE() << words.front() << " accepted";
        } catch (const UsageError& e) {
            EXPECT_EQ(e.command(), "btc pub");
        }
    }
}

TEST(Arguments, NumbersStayInTheirRange)
{
    EXPECT_EQ(parseNumber("4294967295", "SLOT", 0xFFFFFFFFul, ""), 0xFFFFFFFFul);
    for (const char* text : {"4294967296", "18446744073709551616", "", "1x", " 1", "+1", "-0"}) {
        EXPECT_THROW(parseNumber(text, "SLOT", 0xFFFFFFFFul, ""), UsageError) << text;
    }
}

TEST(Hex, RoundTripsAndRefusesNonDigits)
{
    const std::vector<uint8_t> bytes = {0x00, 0x7f, 0xab, 0xff};
    EXPECT_EQ(toHex(bytes.data(), bytes.size()), "007fabff");
    EXPECT_EQ(parseHex("007FabfF"), bytes);
    EXPECT_EQ(parseHex("abc"), std::nullopt);
    EXPECT_EQ(parseHex("0g"), std::nullopt);
}

TEST(ProgressLine, NeverShowsMoreThanWasMoved)
{
    ProgressState state{"writing f", 33, 66, 1.25};
    EXPECT_EQ(renderProgress(state, 10), "writing f [#####-----]  50%  33/66 chunks  1.2 s");
    // Exchanges beyond the transfer's own (none expected) do not push it past the end.
    state.chunksDone = 70;
    EXPECT_EQ(renderProgress(state, 10), "writing f [##########] 100%  66/66 chunks  1.2 s");
    state.chunksDone = 0;
    EXPECT_EQ(renderProgress(state, 10), "writing f [----------]   0%  0/66 chunks  1.2 s");
}

TEST(ProgressLine, UnknownSizeMovesWithTheChunksReceived)
{
    ProgressState state{"reading f", 0, 0, 0.5};
    EXPECT_EQ(renderProgress(state, 6), "reading f [###---] 0 chunks  0.5 s");
    state.chunksDone = 2;
    EXPECT_EQ(renderProgress(state, 6), "reading f [--###-] 2 chunks  0.5 s");
    state.chunksDone = 4;
    EXPECT_EQ(renderProgress(state, 6), "reading f [###---] 4 chunks  0.5 s");
    EXPECT_EQ(renderFinished("read f", 100000, 0.84, 6), "read f [######] 100%  100000 bytes in 0.8 s");
}

// A stand-in for bReadLogEntries holding `text`. The size query reports
// `claimed` (the text's size unless given); a buffer too small for the text
// gets the text's size and a failure.
struct FakeLog {
    std::string text;
    std::optional<CK_ULONG> claimed{};
    int reads = 0;  // calls with a buffer

    LogReader reader()
    {
        return [this](CK_SLOT_ID, uint8_t* buffer, CK_ULONG* length) {
            if (buffer == nullptr) {
                *length = claimed.value_or(text.size());
                return text.empty();
            }
            ++reads;
            if (*length < text.size()) {
                *length = text.size();
                return false;
            }
            std::copy(text.begin(), text.end(), buffer);
            *length = text.size();
            return true;
        };
    }
};

TEST(EventLog, ReadsWhatTheSizeQueryAnnounced)
{
    FakeLog log{"10:00 initialised\n"};
    EXPECT_EQ(readEventLog(0, log.reader()), "10:00 initialised\n");
    EXPECT_EQ(log.reads, 1);

    FakeLog empty{""};
    EXPECT_EQ(readEventLog(0, empty.reader()), "");
    EXPECT_EQ(empty.reads, 0);
}

TEST(EventLog, LogThatGrewAfterTheQueryIsReadAgainAtItsNewSize)
{
    FakeLog log{"line one\nline two\n", 9};  // the query answered before the second line
    EXPECT_EQ(readEventLog(0, log.reader()), "line one\nline two\n");
    EXPECT_EQ(log.reads, 2);
}

TEST(EventLog, SizeNoLogHasIsRefusedUnallocated)
{
    FakeLog log{"x", 0xFFFFFFFFul};
    EXPECT_THROW(readEventLog(3, log.reader()), Failure);
    EXPECT_EQ(log.reads, 0);
}

TEST(EventLog, TokenThatNeverHandsItOverFails)
{
    const LogReader refusing = [](CK_SLOT_ID, uint8_t* buffer, CK_ULONG* length) {
        if (buffer == nullptr) {
            *length = 16;
        }
        return false;
    };
    EXPECT_THROW(readEventLog(0, refusing), Failure);
}

}  // namespace
}  // namespace vexa::tool
