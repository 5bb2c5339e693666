// scripts/demo with the build done: it shows the session, and neither its end
// nor Ctrl-C leaves a process, a socket or a temporary file behind.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "Process.h"
#include "ProcessEnvironment.h"
#include "TempDir.h"
#include "TokenSimulator.h"

namespace vexa::test {
namespace {

using namespace std::chrono_literals;

std::string readText(const std::string& path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

class Demo : public ::testing::Test {
protected:
    void TearDown() override
    {
        // Whatever the demo failed to stop is this test's to end.
        for (pid_t pid : leftovers()) {
            ::kill(pid, SIGKILL);
        }
    }

    // Everything the demo starts inherits its private TMPDIR.
    Environment environment() const
    {
        return {{"VEXA_DEMO_BUILD", VEXA_BUILD_DIR},
                {"VEXA_DEMO_PRELOAD", sanitizerPreload()},
                {"TMPDIR", m_tmp.path()},
                {"LD_PRELOAD", ""}};
    }

    // Processes that still carry that TMPDIR.
    std::vector<pid_t> leftovers() const
    {
        const std::string marker = "TMPDIR=" + m_tmp.path();
        std::vector<pid_t> found;
        DIR* proc = ::opendir("/proc");
        while (dirent* entry = proc ? ::readdir(proc) : nullptr) {
            const pid_t pid = ::atoi(entry->d_name);
            if (pid <= 0 || pid == ::getpid()) {
                continue;
            }
            std::string env = readText("/proc/" + std::string(entry->d_name) + "/environ");
            std::istringstream variables(env);
            for (std::string variable; std::getline(variables, variable, '\0');) {
                if (variable == marker) {
                    found.push_back(pid);
                }
            }
        }
        if (proc) {
            ::closedir(proc);
        }
        return found;
    }

    void expectNothingLeft() const
    {
        EXPECT_TRUE(std::filesystem::is_empty(m_tmp.path()))
            << "left in TMPDIR: " << std::filesystem::directory_iterator(m_tmp.path())->path();
        EXPECT_TRUE(leftovers().empty()) << "processes left running";
    }

    TempDir m_tmp{"vexa-demo-tmp"};
    TempDir m_out{"vexa-demo-out"};
};

TEST_F(Demo, ShowsTheSessionAndLeavesNothingBehind)
{
    const RunResult r = runProgram({VEXA_DEMO}, environment(), std::chrono::minutes(3));
    EXPECT_EQ(r.status, 0) << r.output;
    for (const char* line : {"   slots: 2, token in slot 0: Vexa ",
                             "   logged in as the user and generated an EC P-256 key pair 'demo-key' on the token",
                             "   verified the signature with the token's public key: valid",
                             "   data write/read: 100000 bytes stored on token 00000000000A and read back unchanged",
                             "   token 00000000000B: corvelWorks Varkon, slot ", " data store written, 100000 bytes\n",
                             "== done: daemon and simulator stopped, sockets and temporary files removed\n"}) {
        EXPECT_NE(r.output.find(line), std::string::npos) << "missing '" << line << "' in\n" << r.output;
    }
    expectNothingLeft();
}

TEST_F(Demo, CtrlCStopsEverythingItStarted)
{
    const std::string output = m_out.file("output");
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&files, 1, 2);
    // Its own process group, as a shell gives a foreground job: Ctrl-C
    // signals the whole group.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    std::vector<std::string> env = mergedEnvironment(environment());
    std::vector<std::string> args{VEXA_DEMO};
    pid_t demo = -1;
    ASSERT_EQ(posix_spawn(&demo, VEXA_DEMO, &files, &attributes, sim::nullTerminated(args).data(),
                          sim::nullTerminated(env).data()),
              0);
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attributes);

    // Once the daemon serves the tokens, the session runs.
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (readText(output).find("== pkcs11-tool") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_NE(readText(output).find("== pkcs11-tool"), std::string::npos) << readText(output);
    ::kill(-demo, SIGINT);

    int status = 0;
    pid_t done = 0;
    for (int i = 0; i < 3000 && (done = ::waitpid(demo, &status, WNOHANG)) == 0; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    if (done != demo) {
        ::kill(-demo, SIGKILL);
        ::waitpid(demo, &status, 0);
        FAIL() << "the demo did not end after Ctrl-C:\n" << readText(output);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << readText(output);
    EXPECT_NE(readText(output).find("demo: interrupted; stopping what it started"), std::string::npos)
        << readText(output);
    expectNothingLeft();
}

}  // namespace
}  // namespace vexa::test
