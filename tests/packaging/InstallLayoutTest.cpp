// `cmake --install` into a scratch prefix: the layout, the files that name
// the installed module, p11-kit finding it, and a C program built with
// pkg-config against the installed header and library.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "Process.h"
#include "RealDaemon.h"
#include "TempDir.h"
#include "TokenSimulator.h"

namespace vexa::test {
namespace {

namespace fs = std::filesystem;

std::string readText(const std::string& path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<std::string> split(const std::string& text)
{
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

// A third-party program that loads our (maybe sanitized) library.
Environment thirdParty(Environment extra)
{
    if (!sanitizerPreload().empty()) {
        extra.emplace_back("LD_PRELOAD", sanitizerPreload());
        extra.emplace_back("ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0");
    }
    return extra;
}

// One install for every test of the suite: it copies the whole build.
class InstalledTree : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_stage = new TempDir("vexa-stage");
        // Others (p11-kit run as another user) read the tree.
        ::chmod(s_stage->path().c_str(), 0755);
        s_install = new RunResult(runProgram({VEXA_CMAKE, "--install", VEXA_BUILD_DIR, "--prefix", s_stage->path()}, {},
                                             std::chrono::minutes(2)));
    }
    static void TearDownTestSuite()
    {
        delete s_install;
        delete s_stage;
    }
    void SetUp() override { ASSERT_EQ(s_install->status, 0) << s_install->output; }

    static std::string staged(const std::string& relative) { return s_stage->path() + "/" + relative; }
    static std::string modulePath() { return staged(VEXA_LIBDIR "/pkcs11/libvexa-pkcs11.so"); }

    static TempDir* s_stage;
    static RunResult* s_install;
};

TempDir* InstalledTree::s_stage = nullptr;
RunResult* InstalledTree::s_install = nullptr;

TEST_F(InstalledTree, PutsEveryFileInItsUsualPlace)
{
    const struct {
        std::string path;
        bool program;
    } expected[] = {
        {VEXA_SBINDIR "/vexa-daemon", true},
        {VEXA_BINDIR "/vexa-tool", true},
        {VEXA_BINDIR "/vexa-token-sim", true},
        {VEXA_LIBDIR "/pkcs11/libvexa-pkcs11.so", false},
        {VEXA_INCLUDEDIR "/vexa.h", false},
        {VEXA_LIBDIR "/pkgconfig/vexa-pkcs11.pc", false},
        {"lib/systemd/system/vexad.service", false},
        {"lib/sysusers.d/vexa.conf", false},
        {"lib/udev/rules.d/70-vexa.rules", false},
        {VEXA_DATADIR "/p11-kit/modules/vexa.module", false},
        {VEXA_DOCDIR "/examples/vexa-daemon.json", false},
        {VEXA_DOCDIR "/examples/vexaconfig.json", false},
    };
    for (const auto& file : expected) {
        struct stat info {};
        ASSERT_EQ(::stat(staged(file.path).c_str(), &info), 0) << file.path << " not installed";
        EXPECT_TRUE(S_ISREG(info.st_mode)) << file.path;
        EXPECT_EQ((info.st_mode & S_IXUSR) != 0, file.program) << file.path;
    }
}

TEST_F(InstalledTree, ModuleFilesNameTheInstalledModule)
{
    EXPECT_NE(readText(staged(VEXA_DATADIR "/p11-kit/modules/vexa.module")).find("\nmodule: " + modulePath() + "\n"),
              std::string::npos);
    const std::string pc = readText(staged(VEXA_LIBDIR "/pkgconfig/vexa-pkcs11.pc"));
    EXPECT_NE(pc.find("prefix=" + s_stage->path() + "\n"), std::string::npos) << pc;

    // The installed tool finds the installed module, not the one in the build.
    const RunResult ldd = runProgram({"ldd", staged(VEXA_BINDIR "/vexa-tool")});
    std::smatch found;
    ASSERT_TRUE(std::regex_search(ldd.output, found, std::regex(R"(libvexa-pkcs11\.so => (\S+))"))) << ldd.output;
    EXPECT_TRUE(fs::equivalent(found[1].str(), modulePath())) << ldd.output;
    const RunResult version = runProgram({staged(VEXA_BINDIR "/vexa-tool"), "--version"});
    EXPECT_EQ(version.status, 0) << version.output;
}

TEST_F(InstalledTree, UdevRuleGivesTheDaemonsGroupTheTokens)
{
    const std::string rules = readText(staged("lib/udev/rules.d/70-vexa.rules"));
    const std::regex rule(R"((^|\n)SUBSYSTEM=="hidraw", ATTRS\{idVendor\}=="0483", ATTRS\{idProduct\}=="a2ac", )"
                          R"(GROUP="vexa", MODE="0660"\n)");
    EXPECT_TRUE(std::regex_search(rules, rule)) << rules;
    EXPECT_NE(readText(staged("lib/systemd/system/vexad.service")).find("\nGroup=vexa\n"), std::string::npos);
}

TEST_F(InstalledTree, ExampleConfigurationsAreValid)
{
    const auto library = nlohmann::json::parse(readText(staged(VEXA_DOCDIR "/examples/vexaconfig.json")));
    EXPECT_EQ(library.at("transport").at("unix"), true);
    EXPECT_EQ(library.at("transport").at("sockdir"), "/run/vexa");
    const auto daemon = nlohmann::json::parse(readText(staged(VEXA_DOCDIR "/examples/vexa-daemon.json")));
    EXPECT_EQ(daemon.at("sockdir"), library.at("transport").at("sockdir"));
}

// The machine-wide configuration is installed on request only, into the
// fixed folder the library reads, and never over an administrator's file.
TEST_F(InstalledTree, SystemConfigurationIsOfferedAndNeverOverwritten)
{
    EXPECT_FALSE(fs::exists(staged("usr/local/etc/vexa/vexaconfig.json"))) << "installed without being asked for";
    TempDir root("vexa-destdir");
    const std::string config = root.path() + "/usr/local/etc/vexa/vexaconfig.json";
    const std::vector<std::string> install{VEXA_CMAKE, "--install", VEXA_BUILD_DIR, "--component", "system-config"};
    const Environment destdir{{"DESTDIR", root.path()}};
    const RunResult first = runProgram(install, destdir, std::chrono::minutes(1));
    ASSERT_EQ(first.status, 0) << first.output;
    EXPECT_EQ(nlohmann::json::parse(readText(config)).at("transport").at("sockdir"), "/run/vexa");

    std::ofstream(config) << R"({"timeout": 30000})";
    const RunResult again = runProgram(install, destdir, std::chrono::minutes(1));
    ASSERT_EQ(again.status, 0) << again.output;
    EXPECT_EQ(readText(config), R"({"timeout": 30000})");
}

// ssh-agent started the usual way (in the background, where it changes to
// "/") loads the installed module and lists the token's key: the library
// finds the user's ~/.vexa/vexaconfig.json, not one in a working directory.
// The user's home is a scratch folder mounted over the real one in a mount
// namespace of the test's own, so the real home is never touched.
TEST_F(InstalledTree, SshAgentInTheBackgroundUsesTheUsersConfiguration)
{
    if (runProgram({"unshare", "-m", "true"}).status != 0) {
        GTEST_SKIP() << "cannot make a mount namespace here";
    }
    TempDir home("vexa-agent-home");
    TempDir sockets("vexa-agent-sockets");
    const auto daemon = RealDaemon::unix({"--token", "0123456789AB"}, sockets.path(), 1);
    fs::create_directories(home.file(".vexa"));
    std::ofstream(home.file(".vexa/vexaconfig.json"))
        << R"({"transport": {"unix": true, "sockdir": ")" << sockets.path() << R"("}})";
    std::ofstream(home.file("askpass")) << "#!/bin/sh\necho 123456\n";
    fs::permissions(home.file("askpass"), fs::perms::owner_all);

    const char* const script = R"sh(
        set -e
        mount --bind "$VEXA_HOME" "$(getent passwd "$(id -u)" | cut -d: -f6)"
        cd /
        pkcs11-tool --module "$MODULE" --login --pin 123456 --keypairgen --key-type EC:prime256v1 \
            --label agent-key --id 0a >/dev/null
        eval "$(ssh-agent -a "$AGENT_SOCKET" -P "$MODULE")" >/dev/null
        trap 'ssh-agent -k >/dev/null' EXIT
        SSH_ASKPASS="$VEXA_HOME/askpass" SSH_ASKPASS_REQUIRE=force DISPLAY=none ssh-add -s "$MODULE"
        ssh-add -L
    )sh";
    const RunResult r = runProgram(
        {"unshare", "-m", "sh", "-c", script},
        thirdParty({{"VEXA_HOME", home.path()}, {"MODULE", modulePath()}, {"AGENT_SOCKET", sockets.file("agent")}}),
        std::chrono::minutes(1));
    EXPECT_EQ(r.status, 0) << r.output << daemon->output();
    EXPECT_NE(r.output.find("Card added: " + modulePath()), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("ecdsa-sha2-nistp256 AAAA"), std::string::npos) << r.output;
}

// p11-kit reads a user's module files only for users other than root.
TEST_F(InstalledTree, P11KitListsTheModuleFromTheUsersConfiguration)
{
    TempDir home("vexa-home");
    ::chmod(home.path().c_str(), 0755);
    fs::create_directories(home.file(".config/pkcs11/modules"));
    fs::copy_file(staged(VEXA_DATADIR "/p11-kit/modules/vexa.module"), home.file(".config/pkcs11/modules/vexa.module"));
    std::vector<std::string> argv{"env", "-C", home.path(), "p11-kit", "list-modules"};
    if (::geteuid() == 0) {
        argv.insert(argv.begin(), {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"});
    }
    const RunResult listed = runProgram(argv, thirdParty({{"HOME", home.path()}}));
    EXPECT_EQ(listed.status, 0) << listed.output;
    EXPECT_NE(listed.output.find("vexa: " + modulePath() + "\n    library-description: "), std::string::npos)
        << listed.output;
    EXPECT_NE(listed.output.find("library-manufacturer: corvelWorks"), std::string::npos) << listed.output;
}

TEST_F(InstalledTree, PkgConfigBuildsAProgramOnTheInstalledLibrary)
{
    TempDir work("vexa-pc");
    std::ofstream(work.file("app.c")) << R"(#include <stdio.h>
#include <vexa.h>

int main(void)
{
    CK_FUNCTION_LIST_PTR list = NULL;
    TokenConfigRecord record = {VEXA_TOKEN_CONFIG_VERSION, VEXA_TOKEN_CONFIG_SIZE, 0, 0, 0, 0, 0};
    if (C_GetFunctionList(&list) != CKR_OK || list == NULL)
        return 1;
    printf("%u.%u %#x\n", list->version.major, list->version.minor, (unsigned)u32GetTokenConfig(0, &record));
    return 0;
}
)";
    const Environment pkgConfig{{"PKG_CONFIG_PATH", staged(VEXA_LIBDIR "/pkgconfig")}};
    const RunResult flags = runProgram({"pkg-config", "--cflags", "--libs", "vexa-pkcs11"}, pkgConfig);
    ASSERT_EQ(flags.status, 0) << flags.output;
    std::vector<std::string> compile{VEXA_C_COMPILER, work.file("app.c"), "-o", work.file("app")};
    for (const std::string& word : split(flags.output + " " VEXA_SANITIZE_FLAGS)) {
        compile.push_back(word);
    }
    const RunResult built = runProgram(compile);
    ASSERT_EQ(built.status, 0) << built.output;
    // Before C_Initialize the library's own calls answer CKR_CRYPTOKI_NOT_INITIALIZED.
    const RunResult ran = runProgram({"env", "-C", work.path(), work.file("app")}, {{"HOME", work.path()}});
    EXPECT_EQ(ran.status, 0) << ran.output;
    EXPECT_EQ(ran.output, "2.40 0x190\n");
}

}  // namespace
}  // namespace vexa::test
