// The ptys behind a simulated hidraw node, on a small fake testbed: which pty
// each client holds, readiness per pty, and when handles count as closed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <optional>
#include <vector>

#include "ReadinessPtys.h"
#include "TempDir.h"

namespace vexa::sim {
namespace {

const std::string kDevnode = "/dev/hidraw0";
const std::string kDevice = "/sys/devices/usb/hid/hidraw/hidraw0";

bool readableWithin(int fd, int milliseconds)
{
    pollfd pfd{fd, POLLIN, 0};
    return ::poll(&pfd, 1, milliseconds) == 1;
}

// Bytes cross a pty at once, so a short look settles "not readable"; a
// generous one settles "readable" on any machine.
bool readable(int fd) { return readableWithin(fd, 5000); }
bool notReadable(int fd) { return !readableWithin(fd, 200); }

std::string linkTarget(const std::string& path)
{
    char target[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    return n < 0 ? "" : std::string(target, size_t(n));
}

// A testbed root with the hidraw device in sysfs and the node pointing at a
// pty, as umockdev leaves them.
class ReadinessPtysTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string device = m_root.path() + kDevice;
        for (const std::string dir :
             {"/dev", "/sys", "/sys/dev", "/sys/dev/char", "/sys/class", "/sys/class/hidraw", "/sys/devices",
              "/sys/devices/usb", "/sys/devices/usb/hid", "/sys/devices/usb/hid/hidraw", kDevice.c_str()}) {
            ASSERT_EQ(::mkdir((m_root.path() + dir).c_str(), 0755), 0) << dir;
        }
        std::FILE* uevent = std::fopen((device + "/uevent").c_str(), "w");
        ASSERT_NE(uevent, nullptr);
        std::fputs("SUBSYSTEM=hidraw\nDEVNAME=hidraw0\nMAJOR=1\nMINOR=1\n", uevent);
        std::fclose(uevent);
        ASSERT_EQ(::symlink("../..", (device + "/device").c_str()), 0);
        ASSERT_EQ(::symlink("../../../../../class/hidraw", (device + "/subsystem").c_str()), 0);

        m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(m_master, 0);
        ASSERT_EQ(::grantpt(m_master), 0);
        ASSERT_EQ(::unlockpt(m_master), 0);
        ASSERT_EQ(::symlink(::ptsname(m_master), node().c_str()), 0);
        m_ptys.emplace(m_root.path(), kDevnode, kDevice);
        m_ptys->adopt(m_master);
    }
    void TearDown() override
    {
        for (int fd : m_open) {
            ::close(fd);
        }
        m_ptys.reset();
        ::close(m_master);
    }

    std::string node() const { return m_root.path() + kDevnode; }
    // What a client does: open the node.
    int openNode()
    {
        const int fd = ::open(node().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        EXPECT_GE(fd, 0);
        m_open.push_back(fd);
        return fd;
    }
    void closeNode(int fd)
    {
        ::close(fd);
        m_open.erase(std::find(m_open.begin(), m_open.end(), fd));
    }

    vexa::test::TempDir m_root;
    int m_master = -1;
    std::optional<CReadinessPtys> m_ptys;
    std::vector<int> m_open;
};

TEST_F(ReadinessPtysTest, EachOpenGetsAPtyOfItsOwnWithItsOwnReadiness)
{
    const int a = openNode();
    m_ptys->closedSinceLastLook();
    const CReadinessPtys::Id ptyA = m_ptys->claim();
    const int b = openNode();
    m_ptys->closedSinceLastLook();
    const CReadinessPtys::Id ptyB = m_ptys->claim();
    ASSERT_NE(ptyA, ptyB);
    EXPECT_NE(m_ptys->path(ptyA), m_ptys->path(ptyB));

    m_ptys->setLevel(ptyB, 2);
    EXPECT_TRUE(notReadable(a));
    EXPECT_TRUE(readable(b));
    m_ptys->setLevel(ptyB, 0);
    m_ptys->setLevel(ptyA, 1);
    EXPECT_TRUE(readable(a));
    EXPECT_TRUE(notReadable(b));

    // A later pty's number leads to an alias of the device with that number.
    struct stat st {};
    ASSERT_EQ(::fstat(b, &st), 0);
    const std::string number = std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    const std::string alias = m_root.path() + "/sys/dev/char/" + linkTarget(m_root.path() + "/sys/dev/char/" + number);
    std::FILE* uevent = std::fopen((alias + "/uevent").c_str(), "r");
    ASSERT_NE(uevent, nullptr) << alias;
    char text[256] = {};
    std::fread(text, 1, sizeof text - 1, uevent);
    std::fclose(uevent);
    EXPECT_NE(std::string(text).find("MINOR=" + std::to_string(minor(st.st_rdev)) + "\n"), std::string::npos) << text;
}

// Two opens before the simulator looks: inotify reports them as one. Both
// clients hold the first pty; closing one of them closes only one handle.
TEST_F(ReadinessPtysTest, ClientsThatOpenedAtOnceShareAPtyAndCloseOneByOne)
{
    const int a = openNode();
    const int b = openNode();
    m_ptys->closedSinceLastLook();
    const CReadinessPtys::Id first = m_ptys->claim();
    const CReadinessPtys::Id second = m_ptys->claim();
    EXPECT_EQ(first, second);
    m_ptys->setLevel(first, 1);
    EXPECT_TRUE(readable(a));
    EXPECT_TRUE(readable(b));
    // The node has moved on: the next client gets a pty of its own.
    const int c = openNode();
    m_ptys->closedSinceLastLook();
    EXPECT_NE(m_ptys->claim(), first);
    EXPECT_TRUE(notReadable(c));

    closeNode(a);
    auto closed = m_ptys->closedSinceLastLook();
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_EQ(closed[0].pty, first);
    EXPECT_EQ(closed[0].gone, 1);
    EXPECT_FALSE(closed[0].all);
    m_ptys->release(first);
    EXPECT_TRUE(m_ptys->closedSinceLastLook().empty());

    closeNode(b);
    closed = m_ptys->closedSinceLastLook();
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_EQ(closed[0].gone, 1);
    EXPECT_TRUE(closed[0].all);
}

TEST_F(ReadinessPtysTest, GoneDeviceLeavesEveryPtyReadable)
{
    const int a = openNode();
    m_ptys->closedSinceLastLook();
    m_ptys->claim();
    EXPECT_TRUE(notReadable(a));
    m_ptys->deviceGone();
    EXPECT_TRUE(readable(a));
}

}  // namespace
}  // namespace vexa::sim
