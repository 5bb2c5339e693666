#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "SocketClient.h"
#include "SocketFiles.h"
#include "TestProcess.h"

namespace vexa::daemon {
namespace {

using namespace test;

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Only sockets named exactly as a token's are the daemon's to remove; other
// programs' sockets stay, and so does anything that is not a socket.
TEST(RemoveStaleSockets, RemovesOnlyTokenSockets)
{
    TempDir dir;
    TempDir elsewhere;
    ASSERT_TRUE(MakeSocketFile(elsewhere.file("target")));
    enum Kind { Socket, Regular, Link };
    struct Entry {
        const char* name;
        Kind kind;
        bool removed;
        bool warned;
    };
    const Entry entries[] = {
        {"vexa.0123456789AB.sock", Socket, true, false},   {"vexa.123456789012", Socket, false, false},
        {"vexa.ABCDEFGHIJKL", Socket, false, false},       {"vexa.other-service.sock", Socket, false, false},
        {"vexa.abcdef012345.sock", Socket, false, false},  {"vexa.0123456789ABC.sock", Socket, false, false},
        {"other.0123456789AB.sock", Socket, false, false}, {"vexa.0123456789AC.sock", Regular, false, true},
        {"vexa.0123456789AD.sock", Link, false, true},     {"vexa.0123456789AE.sock.old", Regular, false, false},
    };
    for (const Entry& entry : entries) {
        if (entry.kind == Socket) {
            ASSERT_TRUE(MakeSocketFile(dir.file(entry.name))) << entry.name;
        } else if (entry.kind == Regular) {
            WriteFile(dir.file(entry.name), "not a socket");
        } else {
            ASSERT_EQ(symlink(elsewhere.file("target").c_str(), dir.file(entry.name).c_str()), 0);
        }
    }
    testing::internal::CaptureStderr();
    RemoveStaleSockets(dir.path());
    const std::string logged = testing::internal::GetCapturedStderr();
    for (const Entry& entry : entries) {
        struct stat info {};
        EXPECT_EQ(lstat(dir.file(entry.name).c_str(), &info) == 0, !entry.removed) << entry.name;
        const std::string warning = "WARN : " + dir.file(entry.name) + " is not a socket; left alone.\n";
        EXPECT_EQ(logged.find(warning) != std::string::npos, entry.warned) << entry.name << "\n" << logged;
    }
    EXPECT_TRUE(Exists(elsewhere.file("target")));
}

TEST(RemoveStaleSockets, MissingDirectoryIsReported)
{
    TempDir dir;
    testing::internal::CaptureStderr();
    RemoveStaleSockets(dir.file("missing"));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("ERROR : Unable to open socket dir: " + dir.file("missing")),
              std::string::npos);
}

TEST(TokenSocketPath, MustFitSocketAddress)
{
    EXPECT_EQ(tokenSocketPath("/var/run", "0123456789"), "/var/run/vexa.0123456789.sock");
    // The library names sockets after the serial in capitals.
    EXPECT_EQ(tokenSocketPath("/var/run", "0123456789ab"), "/var/run/vexa.0123456789AB.sock");
    EXPECT_EQ(tokenSocketPath("/var/run", "0123456789").size(), 29u);
    EXPECT_TRUE(socketPathFits(std::string(107, 'a')));
    EXPECT_FALSE(socketPathFits(std::string(108, 'a')));
    EXPECT_FALSE(socketPathFits(std::string("/tmp/a\0b", 8)));
}

}  // namespace
}  // namespace vexa::daemon
