// vexa-token-sim as a program: serve mode through the test-support library,
// command mode, control lines, trace file, usage errors.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "Process.h"
#include "TempDir.h"
#include "TokenSimulator.h"

namespace vexa::test {
namespace {

const std::string kProbe = VEXA_SIM_PROBE;

bool exists(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool waitGone(const std::string& path)
{
    for (int i = 0; i < 500 && exists(path); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return !exists(path);
}

TEST(SimServeMode, PrintsEnvironmentAndRemovesTestbedOnStop)
{
    TokenSimulator sim({"--firmware", "echo"});
    EXPECT_EQ(sim.variable("LD_PRELOAD"), "libumockdev-preload.so.0");
    const std::string root = sim.variable("UMOCKDEV_DIR");
    ASSERT_FALSE(root.empty());
    EXPECT_TRUE(exists(root + "/sys"));
    sim.stop();
    EXPECT_FALSE(exists(root));
}

TEST(SimServeMode, TerminationSignalRemovesTestbed)
{
    TokenSimulator sim({"--firmware", "echo"});
    const std::string root = sim.variable("UMOCKDEV_DIR");
    ASSERT_EQ(::kill(sim.pid(), SIGTERM), 0);
    EXPECT_TRUE(waitGone(root));
}

TEST(SimServeMode, ProgramsSeeTheTokens)
{
    TokenSimulator sim({"--firmware", "echo", "--token", "00000000000B", "--token", "00000000000A,framing=reportid"});
    const RunResult r = sim.run({kProbe, "list"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "00000000000A\n00000000000B\n");
}

// A program sees only the first of two variables with one name, so a
// variable that the caller gives must replace the simulator's own.
TEST(SimServeMode, CallersVariablesReplaceTheSimulatorsOwn)
{
    TokenSimulator sim({"--firmware", "echo"});
    const RunResult r = sim.run({"printenv", "ASAN_OPTIONS", "UMOCKDEV_DIR"},
                                {{"ASAN_OPTIONS", "detect_leaks=0"}, {"UMOCKDEV_DIR", "/elsewhere"}});
    EXPECT_EQ(r.output, "detect_leaks=0\n/elsewhere\n");
}

TEST(SimServeMode, ControlLinesAnswerInOrder)
{
    TokenSimulator sim({"--firmware", "echo", "--token", "00000000000A", "--token", "00000000000B,framing=reportid"});
    const struct {
        std::string line;
        std::string answer;
    } cases[] = {
        {"unplug 00000000000A", "ok"},
        {"unplug 00000000000A", "error: token 00000000000A is not plugged in"},
        {"plug 00000000000A", "ok"},
        {"plug 00000000000A", "error: token 00000000000A is already plugged in"},
        {"plug 00000000000C,product=Varkon,framing=reportid", "ok"},
        {"plug bad/serial", "error: bad serial number 'bad/serial': use 1 to 126 letters, digits or - _ . :"},
        {"plug 00000000000D,framing=usb", "error: bad framing 'usb': use u2f or reportid"},
        {"unplug 0000000000FF", "error: no token 0000000000FF"},
        {"stall 00000000000A on", "ok"},
        {"stall 00000000000A maybe", "error: stall takes on or off, not 'maybe'"},
        {"error 00000000000A 7", "ok"},
        {"error 00000000000A 0x7f", "ok"},
        {"error 00000000000A 256", "error: bad error code '256': use 0 to 255"},
        {"error 00000000000A -1", "error: bad error code '-1': use 0 to 255"},
        {"error 00000000000B 6", "error: token 00000000000B uses report-id framing, which has no ERROR frames"},
        {"garble 00000000000B", "ok"},
        {"garble", "error: usage: garble SERIAL"},
        {"reset 00000000000A", "error: unknown command 'reset': use plug, unplug, stall, error or garble"},
        {"", "error: empty control line"},
        {std::string(2000, 'x'), "error: control line too long"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sim.control(c.line), c.answer) << c.line;
    }
}

TEST(SimServeMode, UnplugAndPlugChangeWhatProgramsSee)
{
    TokenSimulator sim({"--firmware", "echo", "--token", "00000000000A", "--token", "00000000000B"});
    ASSERT_EQ(sim.control("unplug 00000000000A"), "ok");
    EXPECT_EQ(sim.run({kProbe, "list"}).output, "00000000000B\n");
    ASSERT_EQ(sim.control("plug 00000000000A"), "ok");
    ASSERT_EQ(sim.control("plug 00000000000C,framing=reportid"), "ok");
    EXPECT_EQ(sim.run({kProbe, "list"}).output, "00000000000A\n00000000000B\n00000000000C\n");
    const RunResult r = sim.run({kProbe, "exchange", "00000000000C", "0102"});
    EXPECT_EQ(r.output, "reportid 0201\n");
}

TEST(SimServeMode, UsbTimingKeepsLongExchangesIntact)
{
    TokenSimulator sim(
        {"--firmware", "echo", "--usb-timing", "--token", "00000000000A", "--token", "00000000000B,framing=reportid"});
    std::string request, reply;
    for (int i = 0; i < 300; ++i) {
        static const char digits[] = "0123456789abcdef";
        request += {digits[(i >> 4) & 15], digits[i & 15]};
        reply.insert(0, {digits[(i >> 4) & 15], digits[i & 15]});
    }
    EXPECT_EQ(sim.run({kProbe, "exchange", "00000000000A", request}).output, "u2f " + reply + "\n");
    EXPECT_EQ(sim.run({kProbe, "exchange", "00000000000B", request}).output, "reportid " + reply + "\n");
}

// A client killed halfway through writing a long request leaves the token
// waiting for the rest. The token gives the request up, as a U2FHID device
// does, and serves the next client; one trying again whenever it fails is
// served within the token's longest time-out plus its own.
TEST(SimServeMode, ClientKilledHalfwayThroughARequestDoesNotWedgeTheToken)
{
    using namespace std::chrono_literals;
    constexpr auto kTokenTimeout = 3000ms;  // at the latest, a partial request is given up
    constexpr auto kProbeTimeout = 2000ms;  // vexa-sim-probe's read time-out
    TokenSimulator sim({"--firmware", "echo", "--token", "00000000000A", "--token", "00000000000B,framing=reportid"});
    for (const auto& [serial, framing] : {std::pair<std::string, std::string>{"00000000000A", "u2f"},
                                          std::pair<std::string, std::string>{"00000000000B", "reportid"}}) {
        SCOPED_TRACE(framing);
        InteractiveProcess writer({kProbe, "half", serial, "1000", framing}, sim.environment());
        ASSERT_TRUE(writer.readUntil("half sent", 20s)) << writer.transcript();
        const RunResult killed = writer.finish(10s);
        ASSERT_EQ(killed.status, 128 + SIGKILL) << killed.output;

        const auto deadline = std::chrono::steady_clock::now() + kTokenTimeout + kProbeTimeout;
        RunResult served;
        int attempts = 0;
        do {
            served = sim.run({kProbe, "exchange", serial, "0102030405"}, {}, 20s);
            ++attempts;
        } while (served.status != 0 && std::chrono::steady_clock::now() < deadline);
        EXPECT_EQ(served.status, 0) << attempts << " attempts, the last: " << served.output;
        EXPECT_EQ(served.output, framing + " 0504030201\n");
    }
}

TEST(SimServeMode, TraceRecordsEveryMessageOfEveryToken)
{
    TempDir dir;
    const std::string trace = dir.file("trace");
    TokenSimulator sim({"--firmware", "echo", "--token", "00000000000A", "--token", "00000000000B,framing=reportid",
                        "--trace", trace});
    EXPECT_EQ(sim.run({kProbe, "exchange", "00000000000A", "0102ff"}).output, "u2f ff0201\n");
    EXPECT_EQ(sim.run({kProbe, "exchange", "00000000000B", "aa"}).output, "reportid aa\n");
    ASSERT_EQ(sim.control("error 00000000000A 7"), "ok");
    sim.run({kProbe, "exchange", "00000000000A", "10"});
    ASSERT_EQ(sim.control("stall 00000000000A on"), "ok");
    sim.run({kProbe, "exchange", "00000000000A", "20"});
    EXPECT_EQ(readFile(trace),
              "00000000000A in 3 0102ff\n"
              "00000000000A out 3 ff0201\n"
              "00000000000B in 1 aa\n"
              "00000000000B out 1 aa\n"
              "00000000000A in 1 10\n"
              "00000000000A error 1 07\n"
              "00000000000A in 1 20\n");
}

TEST(SimCommandMode, ExitsWithTheCommandsStatus)
{
    EXPECT_EQ(runUnderSimulator({"--firmware", "echo"}, {"sh", "-c", "exit 7"}).status, 7);
    EXPECT_EQ(runUnderSimulator({"--firmware", "echo"}, {"sh", "-c", "kill -TERM $$"}).status, 128 + SIGTERM);
    const RunResult missing = runUnderSimulator({"--firmware", "echo"}, {"/nonexistent/program"});
    EXPECT_EQ(missing.status, 127);
    EXPECT_NE(missing.output.find("cannot run /nonexistent/program"), std::string::npos) << missing.output;
}

TEST(SimCommandMode, CommandSeesTokensAndControlSocketAndTestbedIsRemoved)
{
    const RunResult r = runUnderSimulator(
        {"--firmware", "echo", "--token", "00000000000A"},
        {"sh", "-c",
         "echo \"$UMOCKDEV_DIR\"; echo \"$LD_PRELOAD\"; \"$0\" list; \"$0\" control unplug 00000000000A; "
         "\"$0\" list; \"$0\" control unplug 00000000000A",
         kProbe});
    ASSERT_EQ(r.status, 0) << r.output;
    std::istringstream lines(r.output);
    std::string root, preload, rest;
    std::getline(lines, root);
    std::getline(lines, preload);
    std::getline(lines, rest, '\0');
    EXPECT_EQ(preload.rfind("libumockdev-preload.so.0", 0), 0u) << preload;
    EXPECT_EQ(rest, "00000000000A\nok\nerror: token 00000000000A is not plugged in\n");
    EXPECT_FALSE(exists(root));
}

TEST(SimCommandMode, ShowsTwoTokensInTheirFramings)
{
    const RunResult r =
        runUnderSimulator({"--firmware", "echo", "--token", "00000000000A", "--token", "00000000000B,framing=reportid"},
                          {kProbe, "demo"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output,
              "2 tokens\n"
              "00000000000A u2f framing: sent 0102030405, got 0504030201: ok\n"
              "00000000000B reportid framing: sent 0102030405, got 0504030201: ok\n");
}

TEST(SimUsage, BadArgumentsExitWithStatusTwo)
{
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"--token"}, "--token needs a value"},
        {{"--token", "has space"}, "bad serial number 'has space'"},
        {{"--token", ""}, "a token needs a serial number"},
        {{"--token", "00000000000A,framing=hid"}, "bad framing 'hid'"},
        {{"--token", "00000000000A,product=Vexus"}, "bad product 'Vexus'"},
        {{"--token", "00000000000A,colour=red"}, "unknown token option 'colour'"},
        {{"--token", "00000000000A", "--token", "00000000000A"}, "token serial 00000000000A given twice"},
        {{"--firmware", "magic"}, "unknown firmware 'magic'"},
        {{"--usb-timing=yes"}, "--usb-timing takes no value"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {simulatorPath()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const RunResult r = runProgram(argv);
        EXPECT_EQ(r.status, 2) << c.message;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
    }
}

TEST(SimUsage, HelpDescribesOptionsAndControlLines)
{
    const RunResult r = runProgram({simulatorPath(), "--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* word : {"--token", "--firmware", "--usb-timing", "--trace", "unplug SERIAL", "garble SERIAL"}) {
        EXPECT_NE(r.output.find(word), std::string::npos) << word;
    }
}

TEST(SimUsage, TraceFileThatCannotBeOpenedIsReported)
{
    const RunResult r = runProgram({simulatorPath(), "--firmware", "echo", "--trace", "/nonexistent/dir/trace"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("cannot open trace file /nonexistent/dir/trace"), std::string::npos) << r.output;
}

}  // namespace
}  // namespace vexa::test
