// The socket directory the daemon serves from: nobody but root and the
// daemon's own user and group may replace what is in it, and one daemon at a
// time serves it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "OtherUser.h"
#include "SocketDirectory.h"
#include "TestProcess.h"

namespace vexa::daemon {
namespace {

using namespace test;

struct DirectoryCase {
    const char* name;
    // Prepares the directory to judge inside a fresh one (mode 0755, root's
    // or this user's); returns its path. other is a user id of nobody.
    std::function<std::string(const TempDir& top, uid_t other)> make;
    bool servable;
    const char* logged;  // part of the line logged
    bool needsOtherUser;
};

std::string MakeDir(const std::string& path, mode_t mode)
{
    EXPECT_EQ(mkdir(path.c_str(), 0700), 0) << path;
    EXPECT_EQ(chmod(path.c_str(), mode), 0) << path;
    return path;
}

class SocketDirectoryRule : public testing::TestWithParam<DirectoryCase> {};

TEST_P(SocketDirectoryRule, JudgesTheDirectoryAndThoseAboveIt)
{
    const DirectoryCase& c = GetParam();
    const std::optional<uid_t> other = vexa::test::otherUser();
    if (c.needsOtherUser && !other) {
        GTEST_SKIP() << vexa::test::kNeedsRoot;
    }
    TempDir top;
    ASSERT_EQ(chmod(top.path().c_str(), 0755), 0);
    const std::string dir = c.make(top, other.value_or(0));
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const bool servable = prepareSocketDirectory(dir);
    const std::string logged = testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
    EXPECT_EQ(servable, c.servable) << logged;
    EXPECT_NE(logged.find(c.logged), std::string::npos) << logged;
    if (!c.servable) {
        EXPECT_NE(logged.find("ERROR : Refusing to serve from socket directory " + dir + ": "), std::string::npos)
            << logged;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SocketDirectoryRule,
    testing::Values(
        DirectoryCase{"OwnDirectory", [](const TempDir& top, uid_t) { return MakeDir(top.file("s"), 0755); }, true, "",
                      false},
        DirectoryCase{"WritableByOwnGroup",
                      [](const TempDir& top, uid_t) {
                          const std::string dir = MakeDir(top.file("s"), 0775);
                          EXPECT_EQ(chown(dir.c_str(), static_cast<uid_t>(-1), getegid()), 0);
                          return dir;
                      },
                      true, "", false},
        DirectoryCase{"WritableByEveryoneWithStickyBit",
                      [](const TempDir& top, uid_t) { return MakeDir(top.file("s"), 01777); }, true, "", false},
        DirectoryCase{"WritableByEveryone", [](const TempDir& top, uid_t) { return MakeDir(top.file("s"), 0777); },
                      false, "is writable by every user (mode 0777, no sticky bit)", false},
        DirectoryCase{"WritableByAnotherGroup",
                      [](const TempDir& top, uid_t other) {
                          const std::string dir = MakeDir(top.file("s"), 0770);
                          EXPECT_EQ(chown(dir.c_str(), static_cast<uid_t>(-1), other), 0);
                          return dir;
                      },
                      false, "is writable by the group", true},
        DirectoryCase{"OwnedByAnotherUser",
                      [](const TempDir& top, uid_t other) {
                          const std::string dir = MakeDir(top.file("s"), 0755);
                          EXPECT_EQ(chown(dir.c_str(), other, other), 0);
                          return dir;
                      },
                      false, "belongs to uid", true},
        DirectoryCase{"AboveOwnedByAnotherUser",
                      [](const TempDir& top, uid_t other) {
                          const std::string above = MakeDir(top.file("a"), 0755);
                          EXPECT_EQ(chown(above.c_str(), other, other), 0);
                          return MakeDir(above + "/s", 0755);
                      },
                      false, "belongs to uid", true},
        DirectoryCase{"MissingIsCreated", [](const TempDir& top, uid_t) { return top.file("new"); }, true,
                      "INFO : Created socket directory", false},
        DirectoryCase{"MissingInADirectoryEveryoneMayWrite",
                      [](const TempDir& top, uid_t) { return MakeDir(top.file("a"), 0777) + "/new"; }, false,
                      "it does not exist, and it cannot be created safely", false},
        DirectoryCase{"NotADirectory",
                      [](const TempDir& top, uid_t) {
                          WriteFile(top.file("f"), "");
                          return top.file("f");
                      },
                      false, "is not a directory", false}),
    [](const testing::TestParamInfo<DirectoryCase>& info) { return std::string(info.param.name); });

TEST(SocketDirectoryRule, CreatedDirectoryLetsClientsIn)
{
    TempDir top;
    const mode_t saved = umask(077);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(prepareSocketDirectory(top.file("new")));
    testing::internal::GetCapturedStdout();
    umask(saved);
    struct stat info {};
    ASSERT_EQ(stat(top.file("new").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0755u);
}

TEST(SocketDirectoryLock, OneHolderAtATime)
{
    TempDir dir;
    auto first = std::make_unique<CSocketDirectoryLock>();
    ASSERT_TRUE(first->acquire(dir.path()));
    CSocketDirectoryLock second;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(second.acquire(dir.path()));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("ERROR : Another vexa-daemon serves socket directory " +
                                                          dir.path() + " (it holds " + dir.file(kLockFileName) +
                                                          "); exiting.\n"),
              std::string::npos);
    first.reset();
    EXPECT_TRUE(second.acquire(dir.path()));
}

// The lock file is not followed elsewhere through a link.
TEST(SocketDirectoryLock, LinkInPlaceOfTheLockFileIsRefused)
{
    TempDir dir;
    TempDir elsewhere;
    ASSERT_EQ(symlink(elsewhere.file("target").c_str(), dir.file(kLockFileName).c_str()), 0);
    CSocketDirectoryLock lock;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(lock.acquire(dir.path()));
    EXPECT_NE(
        testing::internal::GetCapturedStderr().find("ERROR : Cannot open the lock file " + dir.file(kLockFileName)),
        std::string::npos);
    EXPECT_NE(access(elsewhere.file("target").c_str(), F_OK), 0);
}

}  // namespace
}  // namespace vexa::daemon
