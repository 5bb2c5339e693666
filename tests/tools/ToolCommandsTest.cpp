// vexa-tool's commands through libvexa-pkcs11.so, vexa-daemon and a simulated token.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <random>
#include <regex>
#include <sstream>

#include "ToolRun.h"

namespace vexa::test {
namespace {

class ToolCommands : public ::testing::Test {
protected:
    RunResult tool(const std::vector<std::string>& args, const std::vector<std::string>& environment = {})
    {
        return runTool(m_deployment, args, environment);
    }
    // Runs the command and expects it to succeed.
    std::string ok(const std::vector<std::string>& args, const std::vector<std::string>& environment = {})
    {
        const RunResult r = tool(args, environment);
        EXPECT_EQ(r.status, 0) << r.output << m_deployment.daemonOutput();
        return r.output;
    }
    std::string file(const std::string& name) const { return m_deployment.file(name); }

    ToolsDeployment m_deployment{LibraryTransport::Unix};
};

std::string randomBytes(size_t count)
{
    std::mt19937 generator(20240611);
    std::string bytes(count, '\0');
    for (char& b : bytes) {
        b = static_cast<char>(generator());
    }
    return bytes;
}

TEST_F(ToolCommands, ListsTheTokenAndShowsItsDetails)
{
    EXPECT_NE(ok({"slots"}).find("0123456789AB  slot 0  Vexa    \"Vexa 0123456789AB\""), std::string::npos);
    const std::string info = ok({"info", "0"});
    for (const char* line : {"manufacturer: corvelWorks", "model:        Vexa", "serial:       0123456789AB",
                             "login required", "mechanisms:   68"}) {
        EXPECT_NE(info.find(line), std::string::npos) << line << " in\n" << info;
    }
}

TEST_F(ToolCommands, MovesAHundredKilobyteFileThroughTheDaemonUnchanged)
{
    const std::string content = randomBytes(100 * 1000);
    writeFile(file("big.bin"), content);
    writeFile(file("back.bin"), "an older file");
    EXPECT_EQ(ok({"data", "write", "0", "big.bin"}), "wrote 100000 bytes to the token in slot 0\n");
    EXPECT_EQ(ok({"data", "read", "0", "back.bin"}), "read 100000 bytes from the token in slot 0 into back.bin\n");
    EXPECT_TRUE(readFile(file("back.bin")) == content) << "the block came back changed";
}

TEST_F(ToolCommands, ConfigurationValuesGoWhereTheyAreNamed)
{
    EXPECT_EQ(ok({"config", "get", "0"}), "config1 0\nconfig2 0\nconfig3 0\nconfig4 0\n");
    ok({"config", "set", "0", "config4", "700", "config1", "5", "config2", "6", "config3", "7"});
    EXPECT_EQ(ok({"config", "get", "0"}), "config1 5\nconfig2 6\nconfig3 7\nconfig4 700\n");
    // One value alone leaves its neighbours as they were.
    ok({"config", "set", "0", "config3", "9"});
    ok({"config", "set", "0", "config2", "8"});
    EXPECT_EQ(ok({"config", "get", "0"}), "config1 5\nconfig2 8\nconfig3 9\nconfig4 700\n");
    ok({"config", "reset", "0"});
    EXPECT_EQ(ok({"config", "get", "0"}), "config1 0\nconfig2 0\nconfig3 0\nconfig4 0\n");
}

TEST_F(ToolCommands, LogShowsWhatTheSessionDid)
{
    writeFile(file("small.bin"), "hello");
    ok({"config", "set", "0", "config1", "1", "config2", "2", "config3", "3", "config4", "4"});
    ok({"data", "write", "0", "small.bin"});
    ok({"time", "0"});
    const std::string log = ok({"log", "0"});

    std::vector<std::string> events;
    std::istringstream lines(log);
    const std::regex stamped(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d (.*))");
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, stamped)) << line;
        events.push_back(match[1]);
    }
    const std::vector<std::string> expected = {"configuration set to 1 2 3 4", "data store written, 5 bytes",
                                               "clock set"};
    auto from = events.begin();
    for (const std::string& event : expected) {
        from = std::find(from, events.end(), event);
        ASSERT_NE(from, events.end()) << "'" << event << "' missing or out of order in\n" << log;
    }
}

TEST_F(ToolCommands, TokenErrorsExitOneWithThePkcs11Name)
{
    writeFile(file("huge.bin"), std::string(1024 * 1024 + 1, 'x'));
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"btc", "pub", "0", "m", "--pin", "000000"}, "vexa-tool: C_Login: CKR_PIN_INCORRECT (0xa0)\n"},
        {{"btc", "pub", "0", "m", "--pin", kUserPin},
         "vexa-tool: u32GetBitcoinPub: CKR_VEXA_NO_BITCOIN_KEY (0x80000001)\n"},
        {{"info", "7"}, "vexa-tool: slot 7: CKR_SLOT_ID_INVALID (0x3)\n"},
        {{"data", "write", "0", "huge.bin"}, "vexa-tool: u32WriteTokenData: CKR_DATA_LEN_RANGE (0x21)\n"},
    };
    for (const auto& c : cases) {
        const RunResult r = tool(c.args);
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_EQ(r.output, c.message);
    }
    const RunResult missing = tool({"data", "write", "0", "no-such-file"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.output, "vexa-tool: cannot read no-such-file: No such file or directory\n");
}

// BIP-0032 test vector 1: the token derives the published keys.
TEST_F(ToolCommands, BitcoinKeyServiceFollowsBip32)
{
    writeFile(file("seed"), std::string("\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f", 16));
    const std::vector<std::string> pin = {"VEXA_PIN=" + kUserPin};
    EXPECT_EQ(ok({"btc", "import", "0", "seed"}, pin), "Bitcoin key imported into the token in slot 0\n");
    EXPECT_EQ(ok({"btc", "pub", "0", "m"}, pin),
              "0339a36013301597daef41fbe593a02cc513d0b55527ec2df1050e2e8ff49c85c2\n");
    EXPECT_EQ(ok({"btc", "pub", "0", "m/0'/1", "--pin", kUserPin}),
              "03501e454bf00751f24b1b489aa925215d66af2234e3891c3b21a52bedb3cd711c\n");
    const std::string signature = ok({"btc", "sign", "0", "m/0h", std::string(64, 'a')}, pin);
    EXPECT_TRUE(std::regex_match(signature, std::regex("30[0-9a-f]{120,142}\n"))) << signature;

    const RunResult again = tool({"btc", "import", "0", "seed"}, pin);
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.output, "vexa-tool: u32ImportBitcoinKey: CKR_VEXA_BITCOIN_KEY_EXISTS (0x80000002)\n");
}

// Slot numbers are positions: with the first token unplugged the second moves
// to slot 0. A serial number reaches its token whichever slot it is in.
TEST(ToolSerials, ASerialNumberFollowsItsTokenWhenSlotsMove)
{
    // The first serial is also a slot number: the second token's.
    const std::string first = "000000000001";
    const std::string second = "0000000000B2";
    TokenSimulator simulator({"--token", first, "--token", second});
    TempDir work("vexa-serials");
    const auto tool = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"env", "-C", work.path(), VEXA_TOOL});
        return simulator.run(args);
    };

    const RunResult slots = tool({"slots"});
    EXPECT_NE(slots.output.find(first + "  slot 0  "), std::string::npos) << slots.output;
    EXPECT_NE(slots.output.find(second + "  slot 1  "), std::string::npos) << slots.output;
    const RunResult both = tool({"info", first});
    EXPECT_EQ(both.status, 0) << both.output;
    EXPECT_NE(both.output.find("'" + first + "' is taken as the serial number of the token in slot 0, not as slot 1"),
              std::string::npos)
        << both.output;

    ASSERT_EQ(simulator.control("unplug " + first), "ok");
    const RunResult moved = tool({"info", second});
    EXPECT_EQ(moved.status, 0) << moved.output;
    EXPECT_NE(moved.output.find("slot 0: "), std::string::npos) << moved.output;
    EXPECT_NE(moved.output.find("serial:       " + second), std::string::npos) << moved.output;
    const RunResult gone = tool({"info", "0000000000b9"});
    EXPECT_EQ(gone.status, 1);
    EXPECT_EQ(gone.output,
              "vexa-tool: no token has the serial number 0000000000b9 (vexa-tool slots lists the tokens)\n");

    ASSERT_EQ(simulator.control("plug " + first), "ok");
    writeFile(work.file("note.txt"), "for the second token");
    const RunResult written = tool({"data", "write", "0000000000b2", "note.txt"});
    EXPECT_EQ(written.output, "wrote 20 bytes to the token in slot 1\n");
    const RunResult read = tool({"data", "read", "1", "back.txt"});
    EXPECT_EQ(read.status, 0) << read.output;
    EXPECT_EQ(readFile(work.file("back.txt")), "for the second token");
}

// Slots follow the serial numbers, whichever way the library reaches the
// tokens, and a serial number in lower case is as reachable as any.
TEST(ToolSerials, SlotsFollowTheSerialsThroughTheDaemonAsOverHid)
{
    const std::vector<std::string> simArgs = {"--token",      "0000000000B2", "--token",
                                              "00000000000c", "--token",      "0000000000A1"};
    const std::vector<std::string> inOrder = {"00000000000C", "0000000000A1", "0000000000B2"};
    TempDir work("vexa-serials");
    const auto slotOf = [&](const std::string& listing, const std::string& serial) {
        std::istringstream lines(listing);
        for (std::string line; std::getline(lines, line);) {
            std::string upper = line;
            std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
            if (upper.rfind(serial + " ", 0) == 0) {
                return line.substr(line.find("slot "), 6);
            }
        }
        return std::string("none");
    };
    const auto check = [&](const std::function<RunResult(std::vector<std::string>)>& tool) {
        const RunResult slots = tool({"slots"});
        ASSERT_EQ(slots.status, 0) << slots.output;
        for (size_t i = 0; i < inOrder.size(); ++i) {
            EXPECT_EQ(slotOf(slots.output, inOrder[i]), "slot " + std::to_string(i)) << slots.output;
        }
        const RunResult info = tool({"info", "00000000000c"});
        EXPECT_EQ(info.status, 0) << info.output;
        EXPECT_NE(info.output.find("slot 0: "), std::string::npos) << info.output;
    };
    {
        SCOPED_TRACE("HID");
        TokenSimulator simulator(simArgs);
        check([&](std::vector<std::string> args) {
            args.insert(args.begin(), {"env", "-C", work.path(), VEXA_TOOL});
            return simulator.run(args);
        });
    }
    {
        SCOPED_TRACE("daemon");
        TempDir sockets("vexa-sockets");
        const auto daemon = RealDaemon::unix(simArgs, sockets.path(), 3);
        writeFile(work.file("vexaconfig.json"),
                  R"({"transport": {"unix": true, "sockdir": ")" + sockets.path() + R"("}})");
        check([&](std::vector<std::string> args) {
            args.insert(args.begin(), {"env", "-C", work.path(), VEXA_TOOL});
            return runProgram(args, {{"LD_PRELOAD", ""}});
        });
    }
}

}  // namespace
}  // namespace vexa::test
