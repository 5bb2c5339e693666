#include <gtest/gtest.h>
#include <unistd.h>

#include "SocketClient.h"
#include "SocketFiles.h"
#include "TestProcess.h"

namespace vexa::daemon {
namespace {

using namespace test;

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

TEST(RemoveStaleSockets, RemovesOnlyLongEnoughTokenSockets)
{
    TempDir dir;
    struct Entry {
        const char* name;
        bool socket;
        bool removed;
    };
    const Entry entries[] = {
        {"vexa.0123456789AB.sock", true, true},   {"vexa.123456789012", true, true},
        {"vexa.12345678901", true, false},        {"vexa.abcdef", true, false},
        {"other.0123456789AB.sock", true, false}, {"vexa.0123456789AC.sock", false, false},
    };
    for (const Entry& entry : entries) {
        if (entry.socket) {
            ASSERT_TRUE(MakeSocketFile(dir.file(entry.name))) << entry.name;
        } else {
            WriteFile(dir.file(entry.name), "not a socket");
        }
    }
    RemoveStaleSockets(dir.path());
    for (const Entry& entry : entries) {
        EXPECT_EQ(Exists(dir.file(entry.name)), !entry.removed) << entry.name;
    }
}

TEST(RemoveStaleSockets, MissingDirectoryIsReported)
{
    TempDir dir;
    testing::internal::CaptureStderr();
    RemoveStaleSockets(dir.file("missing"));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("ERROR : Unable to open socket dir: " + dir.file("missing")),
              std::string::npos);
}

TEST(SocketPath, MustFitSocketAddress)
{
    EXPECT_EQ(SocketPath("/var/run", "0123456789"), "/var/run/vexa.0123456789.sock");
    EXPECT_EQ(SocketPath("/var/run", "0123456789").size(), 29u);
    EXPECT_TRUE(SocketPathFits(std::string(107, 'a')));
    EXPECT_FALSE(SocketPathFits(std::string(108, 'a')));
    EXPECT_FALSE(SocketPathFits(std::string("/tmp/a\0b", 8)));
}

}  // namespace
}  // namespace vexa::daemon
