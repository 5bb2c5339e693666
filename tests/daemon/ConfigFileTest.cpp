#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ConfigFile.h"
#include "TestProcess.h"

namespace vexa::daemon {
namespace {

using test::TempDir;
using test::WriteFile;

class InDirectory {
public:
    explicit InDirectory(const std::string& dir)
    {
        char cwd[4096];
        EXPECT_NE(getcwd(cwd, sizeof cwd), nullptr);
        m_saved = cwd;
        EXPECT_EQ(chdir(dir.c_str()), 0);
    }
    ~InDirectory() { (void)chdir(m_saved.c_str()); }

private:
    std::string m_saved;
};

std::string CurrentDirectory()
{
    char cwd[4096];
    return getcwd(cwd, sizeof cwd) != nullptr ? cwd : "";
}

TEST(GetConfigDir, WorkingDirectoryWithFileComesFirst)
{
    TempDir dir;
    InDirectory in(dir.path());
    EXPECT_EQ(GetConfigDir(), "/etc/vexa/");
    WriteFile(dir.file("vexa-daemon.json"), "{}");
    EXPECT_EQ(GetConfigDir(), CurrentDirectory() + "/");
}

TEST(GetConfigDir, UnreadableFileIsPassedOver)
{
    if (geteuid() == 0) {
        GTEST_SKIP() << "root reads every file";
    }
    TempDir dir;
    InDirectory in(dir.path());
    WriteFile(dir.file("vexa-daemon.json"), "{}", 0000);
    EXPECT_EQ(GetConfigDir(), "/etc/vexa/");
}

TEST(LoadConfig, ReadsFirstJsonValueOfTheFile)
{
    TempDir dir;
    WriteFile(dir.file("vexa-daemon.json"), R"({"port": "5000"} trailing words)");
    nlohmann::json config;
    ASSERT_TRUE(LoadConfig(dir.path() + "/", config));
    EXPECT_EQ(config, nlohmann::json({{"port", "5000"}}));
}

TEST(LoadConfig, MissingFileIsSilentAndSyntaxErrorIsReported)
{
    TempDir dir;
    nlohmann::json config;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(LoadConfig(dir.path() + "/", config));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    for (const char* broken : {"{\"port\": ", "", "{'port': 1}"}) {
        WriteFile(dir.file("vexa-daemon.json"), broken);
        testing::internal::CaptureStderr();
        EXPECT_FALSE(LoadConfig(dir.path() + "/", config)) << broken;
        EXPECT_NE(testing::internal::GetCapturedStderr().find("ERROR : Failed to load config file.\n"),
                  std::string::npos);
    }
}

// A file that is there but cannot be read is reported, never thrown out of
// the parser (a directory made the daemon abort with std::ios_base::failure).
TEST(LoadConfig, FileThatCannotBeReadIsReported)
{
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file("vexa-daemon.json").c_str(), 0755), 0);
    nlohmann::json config;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(LoadConfig(dir.path() + "/", config));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("ERROR : Failed to load config file.\n"), std::string::npos);
}

}  // namespace
}  // namespace vexa::daemon
