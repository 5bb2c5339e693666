// The daemon's command words and start-up, through the real executable.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "TestProcess.h"

namespace vexa::daemon {
namespace {

using namespace test;

const char* const kUsage =
    "vexa-daemon V1.7\n"
    "usage: vexa-daemon [stop|start|restart|uninstall] [-t <transport>] [-sd <unix socket dir>] [-d <device SN>] "
    "[install] [-p <port>] [-i <bind address>] [-key <key file>] [-crt <crt file>] [-ca <ca file>] [-cca <client ca "
    "file>]\n"
    "\tUse the VEXA_KEY_PASS environment variable to specify the key file password if required.\n";

// Runs the daemon in an empty working directory with a sudo stand-in on PATH
// that records its command lines and fails, as a refused sudo would.
class DaemonCommandLine : public testing::Test {
protected:
    void SetUp() override
    {
        struct stat info;
        if (stat("/etc/vexa/vexa-daemon.json", &info) == 0) {
            GTEST_SKIP() << "an installed /etc/vexa/vexa-daemon.json would be read";
        }
        WriteFile(m_bin.file("sudo"),
                  "#!/bin/sh\necho \"sudo $*\" >> '" + m_bin.file("calls") + "'\necho \"sudo $*\"\nexit 1\n", 0755);
    }

    ProcessResult run(std::vector<std::string> words)
    {
        words.insert(words.begin(), VEXA_DAEMON_PATH);
        ProcessOptions options;
        options.cwd = m_cwd.path();
        options.environment = {{"PATH", m_bin.path() + ":/usr/bin:/bin"}};
        return RunProcess(words, options);
    }

    std::string calls() const { return ReadFile(m_bin.file("calls")); }
    void writeConfig(const std::string& content) { WriteFile(m_cwd.file("vexa-daemon.json"), content); }

private:
    TempDir m_bin;
    TempDir m_cwd;
};

TEST_F(DaemonCommandLine, NoArgumentsAndNoConfigPrintsUsage)
{
    const ProcessResult result = run({});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, kUsage);
    EXPECT_EQ(result.err, "");
}

TEST_F(DaemonCommandLine, InstallNeedsConfigOrTransportOrDevice)
{
    const ProcessResult result = run({"install", "-p", "1"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, kUsage);
    EXPECT_EQ(calls(), "");
}

struct ServiceCase {
    const char* name;
    std::vector<std::string> words;
    const char* calls;
    const char* output;  // sudo stand-in lines and daemon lines, in order
};

void PrintTo(const ServiceCase& c, std::ostream* out) { *out << c.name; }

class ServiceWords : public DaemonCommandLine, public testing::WithParamInterface<ServiceCase> {};

TEST_P(ServiceWords, RunExactCommandLinesInOrder)
{
    const ServiceCase& c = GetParam();
    const ProcessResult result = run(c.words);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(calls(), c.calls);
    std::string output;
    for (const std::string& line : LinesContaining(result.out, "")) {
        output += (line.rfind("tid:", 0) == 0 ? line.substr(line.find(' ') + 1) : line) + "\n";
    }
    EXPECT_EQ(output, c.output);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ServiceWords,
    testing::Values(
        ServiceCase{"Start", {"start"}, "sudo systemctl start vexad\n", "sudo systemctl start vexad\n"},
        ServiceCase{
            "Stop", {"stop"}, "sudo systemctl stop vexad\n", "sudo systemctl stop vexad\nINFO : Service stopped.\n"},
        ServiceCase{"Restart",
                    {"restart"},
                    "sudo systemctl stop vexad\nsudo systemctl start vexad\n",
                    "sudo systemctl stop vexad\nINFO : Service stopped.\nsudo systemctl start vexad\n"},
        ServiceCase{
            "StartWinsOverStop", {"stop", "start"}, "sudo systemctl start vexad\n", "sudo systemctl start vexad\n"},
        ServiceCase{"StopWinsOverRestart",
                    {"restart", "-v", "50", "stop"},
                    "sudo systemctl stop vexad\n",
                    "sudo systemctl stop vexad\nINFO : Service stopped.\n"},
        ServiceCase{"OptionValueStillActsAsWord",
                    {"-d", "stop"},
                    "sudo systemctl stop vexad\n",
                    "sudo systemctl stop vexad\nINFO : Service stopped.\n"},
        ServiceCase{
            "Uninstall", {"uninstall", "install"}, "sudo systemctl disable vexad\n", "sudo systemctl disable vexad\n"},
        ServiceCase{"RestartWinsOverUninstall",
                    {"uninstall", "restart"},
                    "sudo systemctl stop vexad\nsudo systemctl start vexad\n",
                    "sudo systemctl stop vexad\nINFO : Service stopped.\nsudo systemctl start vexad\n"},
        ServiceCase{"InstallWithTransport",
                    {"install", "-t", "unix"},
                    "sudo systemctl daemon-reload\nsudo systemctl enable vexad.service\n",
                    "sudo systemctl daemon-reload\nsudo systemctl enable vexad.service\n"}),
    [](const testing::TestParamInfo<ServiceCase>& info) { return std::string(info.param.name); });

TEST_F(DaemonCommandLine, InstallWithConfigFileAlone)
{
    writeConfig(R"({"transport": "unix"})");
    EXPECT_EQ(run({"install"}).status, 0);
    EXPECT_EQ(calls(), "sudo systemctl daemon-reload\nsudo systemctl enable vexad.service\n");
}

TEST_F(DaemonCommandLine, ServiceWordIgnoresBrokenConfig)
{
    writeConfig("[");
    const ProcessResult result = run({"stop"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
}

TEST_F(DaemonCommandLine, BrokenConfigIsReportedAndNeedsOptions)
{
    writeConfig("{\"transport\": ");
    const ProcessResult result = run({});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, kUsage);
    EXPECT_NE(result.err.find("ERROR : Failed to load config file.\n"), std::string::npos);
}

TEST_F(DaemonCommandLine, BadSettingsEndWithErrorLine)
{
    struct Case {
        const char* config;
        std::vector<std::string> words;
        const char* message;
    };
    const Case cases[] = {
        {nullptr, {"-d", "X", "-v", "verbose"}, "ERROR : Invalid log level \"verbose\""},
        {nullptr, {"-t", "unix", "-v", "4294967296"}, "ERROR : Invalid log level \"4294967296\""},
        {"[1, 2]", {"-t", "unix"}, "ERROR : The configuration file must hold a JSON object, not array."},
        {"5", {}, "ERROR : The configuration file must hold a JSON object, not number."},
    };
    for (const Case& c : cases) {
        writeConfig(c.config != nullptr ? c.config : "null");
        const ProcessResult result = run(c.words);
        EXPECT_EQ(result.status, 1) << c.message;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "") << c.message;
    }
}

TEST_F(DaemonCommandLine, DeviceWordAloneStartsTlsWithoutSerial)
{
    writeConfig(R"({"transport": "tls", "device": "devicesn", "loglevel": 10.9})");
    // "-t" "" empties the file's transport; "-d" without a value leaves the
    // serial empty. TLS then fails for want of a certificate file.
    const ProcessResult result = run({"-t", "", "-d"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find("INFO : vexa-daemon V1.7 starting.\n"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("INFO : Device SN: \n"), std::string::npos) << result.out;
    EXPECT_NE(result.err.find("ERROR : Failed to open cert file server.pem: -15872\n"), std::string::npos)
        << result.err;

    const ProcessResult quiet = run({"-v", "  51 and more"});
    EXPECT_EQ(quiet.status, 1);
    EXPECT_EQ(quiet.out, "");
    EXPECT_EQ(quiet.err, "");
}

}  // namespace
}  // namespace vexa::daemon
