// vexa-tool at a terminal: the PIN prompt does not echo, and transfers of more
// than one chunk show a progress bar there and nowhere else.
#include <gtest/gtest.h>

#include "Terminal.h"
#include "ToolRun.h"

namespace vexa::test {
namespace {

using namespace std::chrono_literals;

class ToolAtATerminal : public ::testing::Test {
protected:
    TerminalProgram start(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv{VEXA_TOOL};
        argv.insert(argv.end(), args.begin(), args.end());
        // No VEXA_PIN, no preload: the tool's own environment is enough.
        return TerminalProgram(argv, workDirectory(m_deployment), {"PATH=/usr/bin:/bin", "TERM=dumb"});
    }

    ToolsDeployment m_deployment{LibraryTransport::Unix};
};

TEST_F(ToolAtATerminal, AsksForThePinWithoutEcho)
{
    writeFile(m_deployment.file("seed"), std::string(16, '\x01'));
    ASSERT_EQ(runTool(m_deployment, {"btc", "import", "0", "seed", "--pin", kUserPin}).status, 0);

    TerminalProgram tool = start({"btc", "pub", "0", "m"});
    ASSERT_TRUE(tool.waitFor("User PIN of the token in slot 0: ", 20s)) << tool.screen();
    tool.type(kUserPin + "\n");
    EXPECT_EQ(tool.wait(30s), 0) << tool.screen();
    EXPECT_EQ(tool.screen().find(kUserPin), std::string::npos) << "the PIN was echoed:\n" << tool.screen();
    EXPECT_NE(tool.screen().find("\n02"), std::string::npos) << tool.screen();
}

TEST_F(ToolAtATerminal, ShowsTransferProgressOnlyThereAndOnlyBeyondOneChunk)
{
    writeFile(m_deployment.file("big.bin"), std::string(100 * 1000, 'b'));
    writeFile(m_deployment.file("small.bin"), std::string(1536, 's'));

    TerminalProgram write = start({"data", "write", "0", "big.bin"});
    EXPECT_EQ(write.wait(60s), 0) << write.screen();
    EXPECT_NE(write.screen().find("] 100%  100000 bytes in "), std::string::npos) << write.screen();
    TerminalProgram read = start({"data", "read", "0", "back.bin"});
    EXPECT_EQ(read.wait(60s), 0) << read.screen();
    EXPECT_NE(read.screen().find("read back.bin [#"), std::string::npos) << read.screen();

    const RunResult piped = runTool(m_deployment, {"data", "write", "0", "big.bin"});
    EXPECT_EQ(piped.output, "wrote 100000 bytes to the token in slot 0\n");

    TerminalProgram small = start({"data", "write", "0", "small.bin"});
    EXPECT_EQ(small.wait(30s), 0) << small.screen();
    EXPECT_EQ(small.screen().find('%'), std::string::npos) << small.screen();
}

}  // namespace
}  // namespace vexa::test
