#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <set>
#include <thread>

#include "CapturedLog.h"
#include "DeviceRegistry.h"
#include "EchoTransport.h"
#include "SocketClient.h"
#include "SocketFiles.h"
#include "TestProcess.h"
#include "UnixService.h"

namespace vexa::daemon {
namespace {

using namespace test;
using namespace std::chrono_literals;

// A registry whose ports have fake tokens behind them. The daemon's log is
// captured until log() is called, which first stops the registry.
class DeviceRegistryTest : public testing::Test {
protected:
    void SetUp() override
    {
        m_log = std::make_unique<CapturedLog>();
        m_savedUmask = umask(0);  // the socket's mode must not depend on it
    }

    void TearDown() override
    {
        // The failure messages were captured with the daemon's lines.
        const std::string text = log();
        if (HasFailure()) {
            std::cerr << text;
        }
        umask(m_savedUmask);
    }

    CDeviceRegistry& registry(const std::string& socketDir)
    {
        m_registry = std::make_unique<CDeviceRegistry>(socketDir, [this](const std::string& serial) {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_opens[serial];
            if (unopenable.count(serial) != 0) {
                return PortPtr();
            }
            auto fake = std::make_unique<EchoTransport>();
            fake->closeCounter = closeCounter(serial);
            m_fakes[serial] = fake.get();
            return PortPtr(new CThreadSafeUSBPort(serial, std::move(fake)), DestroyPort);
        });
        return *m_registry;
    }

    // Scans with serials every 100 ms until condition holds (at most 5 s).
    template <typename Condition>
    bool scanUntil(const std::vector<std::string>& serials, Condition condition)
    {
        return WaitUntil(
            [&] {
                m_registry->scan(serials);
                if (condition()) {
                    return true;
                }
                std::this_thread::sleep_for(100ms);
                return false;
            },
            5s);
    }

    int opens(const std::string& serial)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_opens[serial];
    }
    // How often a token's transport was closed: its port is released once
    // the registry and every client connection have let it go.
    int closes(const std::string& serial)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return closeCounter(serial)->load();
    }
    EchoTransport* fake(const std::string& serial)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_fakes[serial];
    }

    std::string log()
    {
        m_registry.reset();
        return m_log->text();
    }

    const CapturedLog& capturedLog() const { return *m_log; }

    TempDir dir;
    std::set<std::string> unopenable;

private:
    // Needs m_mutex held.
    std::shared_ptr<std::atomic<int>> closeCounter(const std::string& serial)
    {
        auto& counter = m_closes[serial];
        if (counter == nullptr) {
            counter = std::make_shared<std::atomic<int>>(0);
        }
        return counter;
    }

    std::mutex m_mutex;  // guards m_opens, m_fakes and m_closes, written by the factory
    std::map<std::string, int> m_opens;
    std::map<std::string, EchoTransport*> m_fakes;
    std::map<std::string, std::shared_ptr<std::atomic<int>>> m_closes;
    std::unique_ptr<CapturedLog> m_log;
    std::unique_ptr<CDeviceRegistry> m_registry;
    mode_t m_savedUmask = 0;
};

bool IsSocketWithMode(const std::string& path, mode_t mode)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode) && (info.st_mode & 07777) == mode;
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

TEST_F(DeviceRegistryTest, ServesEachTokenOnItsOwnSocket)
{
    const std::string pathA = tokenSocketPath(dir.path(), "0000000000AA");
    const std::string pathB = tokenSocketPath(dir.path(), "0000000000BB");
    registry(dir.path()).scan({"0000000000AA", "0000000000BB"});
    ASSERT_TRUE(WaitUntil([&] { return Listening(pathA) && Listening(pathB); }, 2s));
    EXPECT_TRUE(IsSocketWithMode(pathA, 0660));
    EXPECT_TRUE(IsSocketWithMode(pathB, 0660));

    SocketClient a = SocketClient::ConnectUnix(pathA);
    SocketClient b = SocketClient::ConnectUnix(pathB);
    EXPECT_EQ(a.exchange({1, 2, 3}, 3), (Bytes{3, 2, 1}));
    EXPECT_EQ(b.exchange({4, 5}, 2), (Bytes{5, 4}));
    EXPECT_EQ(fake("0000000000AA")->requests(), (std::vector<Bytes>{{1, 2, 3}}));
    EXPECT_EQ(fake("0000000000BB")->requests(), (std::vector<Bytes>{{4, 5}}));

    const auto started = LinesContaining(log(), "Starting new device thread for");
    ASSERT_EQ(started.size(), 2u);
    EXPECT_NE(started[0].find("INFO : Starting new device thread for 0000000000AA"), std::string::npos);
    EXPECT_NE(started[1].find("INFO : Starting new device thread for 0000000000BB"), std::string::npos);
}

TEST_F(DeviceRegistryTest, GoneTokenIsRetiredAndComesBack)
{
    const std::string path = tokenSocketPath(dir.path(), "0000000000AA");
    CDeviceRegistry& devices = registry(dir.path());
    devices.scan({"0000000000AA"});
    ASSERT_TRUE(WaitUntil([&] { return Listening(path); }, 2s));
    SocketClient client = SocketClient::ConnectUnix(path);
    EXPECT_EQ(client.exchange({1}, 1), (Bytes{1}));

    ASSERT_TRUE(scanUntil({}, [&] { return !Exists(path); }));
    // Its connection ends without a request, and with that the port: a
    // client learns before it sends that it must connect anew.
    EXPECT_TRUE(client.closedByPeer());
    ASSERT_TRUE(scanUntil({}, [&] { return closes("0000000000AA") == 1; }));

    devices.scan({"0000000000AA"});
    EXPECT_TRUE(WaitUntil([&] { return Exists(path); }, 2s));
    EXPECT_EQ(opens("0000000000AA"), 2);

    const std::string text = log();
    const auto closed = text.find("INFO : Server socket closed for 0000000000AA\n");
    const auto removed = text.find("INFO : Device removed: 0000000000AA\n");
    ASSERT_NE(closed, std::string::npos) << text;
    ASSERT_NE(removed, std::string::npos) << text;
    EXPECT_LT(closed, removed);
}

TEST_F(DeviceRegistryTest, FailedTokenWriteReplacesPortWithoutRemoval)
{
    const std::string path = tokenSocketPath(dir.path(), "0000000000AA");
    CDeviceRegistry& devices = registry(dir.path());
    devices.scan({"0000000000AA"});
    ASSERT_TRUE(WaitUntil([&] { return Listening(path); }, 2s));
    fake("0000000000AA")->failWrite = true;
    SocketClient client = SocketClient::ConnectUnix(path);
    EXPECT_TRUE(client.send(MakePacket({1})));
    EXPECT_TRUE(client.closedByPeer());

    ASSERT_TRUE(scanUntil({"0000000000AA"}, [&] { return opens("0000000000AA") == 2 && Listening(path); }));
    SocketClient again = SocketClient::ConnectUnix(path);
    EXPECT_EQ(again.exchange({1, 2}, 2), (Bytes{2, 1}));
    EXPECT_EQ(log().find("Device removed"), std::string::npos);
}

// How many of this process's descriptors are sockets.
size_t SocketDescriptors()
{
    size_t count = 0;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir("/proc/self/fd"), closedir);
    while (const dirent* entry = dir != nullptr ? readdir(dir.get()) : nullptr) {
        char target[64] = {};
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        if (readlink(link.c_str(), target, sizeof target - 1) > 0 && std::strncmp(target, "socket:", 7) == 0) {
            ++count;
        }
    }
    return count;
}

// While it lives the process can open no further descriptor, so the next
// accept fails.
class NoFreeDescriptors {
public:
    NoFreeDescriptors()
    {
        getrlimit(RLIMIT_NOFILE, &m_saved);
        const int lowestFree = open("/dev/null", O_RDONLY | O_CLOEXEC);
        close(lowestFree);
        rlimit exhausted = m_saved;
        exhausted.rlim_cur = static_cast<rlim_t>(lowestFree);
        setrlimit(RLIMIT_NOFILE, &exhausted);
    }
    ~NoFreeDescriptors() { setrlimit(RLIMIT_NOFILE, &m_saved); }
    NoFreeDescriptors(const NoFreeDescriptors&) = delete;
    NoFreeDescriptors& operator=(const NoFreeDescriptors&) = delete;

private:
    rlimit m_saved{};
};

sockaddr_un UnixAddress(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}

bool Connect(int fd, const std::string& path)
{
    const sockaddr_un address = UnixAddress(path);
    return connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// The descriptor of this process that listens on the socket file at path, or -1.
int ListeningDescriptor(const std::string& path)
{
    for (int fd = 0; fd < 1024; ++fd) {
        sockaddr_un address{};
        socklen_t length = sizeof address;
        int listening = 0;
        socklen_t size = sizeof listening;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 && address.sun_family == AF_UNIX &&
            path == address.sun_path && getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 &&
            listening != 0) {
            return fd;
        }
    }
    return -1;
}

// Running out of descriptors is the process's shortage, not the token's: the
// token stays served, and the client that could not be taken is served once
// descriptors are free again.
TEST_F(DeviceRegistryTest, AcceptWithoutFreeDescriptorsKeepsTheTokenServed)
{
    const std::string path = tokenSocketPath(dir.path(), "0000000000AA");
    registry(dir.path()).scan({"0000000000AA"});
    ASSERT_TRUE(WaitUntil([&] { return Listening(path); }, 2s));
    // One served exchange first: the undefined-behaviour sanitizer checks a
    // connection's dynamic types the first time it meets them and needs a
    // pipe to do so, which it cannot get while no descriptor is free.
    EXPECT_EQ(SocketClient::ConnectUnix(path).exchange({5}, 1), Bytes{5});
    // The connection threads close their ends a moment later; a descriptor
    // they free after the limit is set would let the accept succeed.
    ASSERT_TRUE(WaitUntil([] { return SocketDescriptors() == 1; }, 5s)) << "only the listener left";

    SocketClient waiting(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    {
        NoFreeDescriptors exhausted;
        ASSERT_TRUE(Connect(waiting.fd(), path));
        ASSERT_TRUE(
            capturedLog().waitFor("ERROR : accept failed on " + path + ": Too many open files; trying again.\n", 5s));
        EXPECT_TRUE(Exists(path));
    }
    EXPECT_EQ(waiting.exchange({1, 2}, 2), (Bytes{2, 1}));
    EXPECT_TRUE(Listening(path));
    EXPECT_EQ(opens("0000000000AA"), 1);
    EXPECT_NE(log().find("INFO : Accepting clients on " + path + " again.\n"), std::string::npos);
}

// An accept that fails for good ends the device thread while its port is
// still usable; the clients it took before must not reach the token beside
// the port that replaces it.
TEST_F(DeviceRegistryTest, EndedDeviceThreadTakesItsClientsOutOfService)
{
    const std::string path = tokenSocketPath(dir.path(), "0000000000AA");
    CDeviceRegistry& devices = registry(dir.path());
    devices.scan({"0000000000AA"});
    ASSERT_TRUE(WaitUntil([&] { return Listening(path); }, 2s));
    SocketClient served = SocketClient::ConnectUnix(path);
    EXPECT_EQ(served.exchange({1}, 1), (Bytes{1}));

    // Something that is not a socket in place of the listener: accept fails
    // with ENOTSOCK.
    const int listener = ListeningDescriptor(path);
    ASSERT_GE(listener, 0);
    const int notASocket = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(dup2(notASocket, listener), listener);
    close(notASocket);
    ASSERT_TRUE(WaitUntil([&] { return !Exists(path); }, 5s));
    ASSERT_TRUE(scanUntil({"0000000000AA"}, [&] { return opens("0000000000AA") == 2 && Listening(path); }));

    // Hung up before it could send anything more.
    EXPECT_TRUE(served.closedByPeer());
    SocketClient again = SocketClient::ConnectUnix(path);
    EXPECT_EQ(again.exchange({3, 4}, 2), (Bytes{4, 3}));
}

TEST_F(DeviceRegistryTest, FailedEnumerationSkipsTheScan)
{
    const std::string path = tokenSocketPath(dir.path(), "0000000000AA");
    CTokenScanner scanner(registry(dir.path()));
    scanner.scan(std::vector<std::string>{"0000000000AA"});
    ASSERT_TRUE(WaitUntil([&] { return Listening(path); }, 2s));
    for (int i = 0; i < 3; ++i) {
        scanner.scan(std::nullopt);
    }
    EXPECT_TRUE(Exists(path));
    {
        SocketClient client = SocketClient::ConnectUnix(path);
        EXPECT_EQ(client.exchange({1, 2}, 2), (Bytes{2, 1}));
    }
    EXPECT_EQ(closes("0000000000AA"), 0);
    // An empty list, by contrast, means the token has gone.
    ASSERT_TRUE(WaitUntil(
        [&] {
            scanner.scan(std::vector<std::string>{});
            return closes("0000000000AA") == 1;
        },
        5s));
    EXPECT_FALSE(Exists(path));
    const std::string text = log();
    EXPECT_EQ(LinesContaining(text, "ERROR : Listing the attached tokens failed; scan skipped.").size(), 1u) << text;
    EXPECT_EQ(LinesContaining(text, "INFO : Listing the attached tokens works again.").size(), 1u) << text;
}

TEST_F(DeviceRegistryTest, TokenThatCannotBeOpenedIsRetriedEachScan)
{
    unopenable.insert("0000000000CC");
    CDeviceRegistry& devices = registry(dir.path());
    devices.scan({"0000000000CC"});
    devices.scan({"0000000000CC"});
    EXPECT_EQ(opens("0000000000CC"), 2);
    EXPECT_FALSE(Exists(tokenSocketPath(dir.path(), "0000000000CC")));
    EXPECT_EQ(LinesContaining(log(), "ERROR : Could not open USB device 0000000000CC.").size(), 2u);
}

TEST_F(DeviceRegistryTest, OverlongSocketPathIsReportedOnceAndNotServed)
{
    const std::string longDir = dir.path() + "/" + std::string(100, 'd');
    const std::string path = tokenSocketPath(longDir, "0000000000AA");
    CDeviceRegistry& devices = registry(longDir);
    devices.scan({"0000000000AA"});
    devices.scan({"0000000000AA"});
    EXPECT_EQ(opens("0000000000AA"), 0);
    EXPECT_EQ(LinesContaining(log(), "ERROR : Socket path " + path + " is longer than 107 bytes").size(), 1u);
}

TEST_F(DeviceRegistryTest, MissingSocketDirectoryRepeatsBindFailure)
{
    const std::string missing = dir.file("missing");
    CDeviceRegistry& devices = registry(missing);
    ASSERT_TRUE(scanUntil({"0000000000AA"}, [&] { return opens("0000000000AA") >= 2; }));
    (void)devices;
    EXPECT_GE(
        LinesContaining(log(), "ERROR : Failed to bind using socket file " + tokenSocketPath(missing, "0000000000AA"))
            .size(),
        1u);
}

}  // namespace
}  // namespace vexa::daemon
