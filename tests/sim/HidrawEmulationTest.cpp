// The simulator through the real hidapi, frame by frame. Runs under
// vexa-token-sim --token 00000000000A --token 00000000000B,framing=reportid.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <hidapi/hidapi.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "TokenSimulator.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kVendorId = 0x0483;
constexpr uint16_t kProductId = 0xA2AC;
const char* const kU2f = "00000000000A";
const char* const kReportId = "00000000000B";

std::string narrow(const wchar_t* text)
{
    std::string out;
    for (; text && *text; ++text) {
        out += char(*text);
    }
    return out;
}

std::string pathOf(const std::string& serial)
{
    std::string path;
    hid_device_info* list = hid_enumerate(kVendorId, kProductId);
    for (hid_device_info* d = list; d; d = d->next) {
        if (narrow(d->serial_number) == serial && path.empty()) {
            path = d->path;
        }
    }
    hid_free_enumeration(list);
    return path;
}

// An open hidapi handle, closed at scope end.
class Handle {
public:
    explicit Handle(const std::string& serial) : m_device(hid_open_path(pathOf(serial).c_str())) {}
    ~Handle()
    {
        if (m_device) {
            hid_close(m_device);
        }
    }
    bool ok() const { return m_device != nullptr; }
    int write(const Bytes& bytes) { return hid_write(m_device, bytes.data(), bytes.size()); }
    // A report, or an empty vector on time-out; -1 results are returned in `result`.
    Bytes read(int timeoutMs, size_t capacity = 64, int* result = nullptr)
    {
        Bytes buffer(capacity);
        const int n = hid_read_timeout(m_device, buffer.data(), buffer.size(), timeoutMs);
        if (result) {
            *result = n;
        }
        buffer.resize(n > 0 ? size_t(n) : 0);
        return buffer;
    }
    std::string error() { return narrow(hid_error(m_device)); }
    hid_device* get() const { return m_device; }

private:
    hid_device* m_device;
};

// Host frames as CHIDTransport sends them: a 0x00 report id, then 64 bytes.
Bytes u2fInit(uint32_t channel, uint8_t command, const Bytes& data, size_t announced)
{
    Bytes out(65, 0xEE);
    out[0] = 0;
    for (int i = 0; i < 4; ++i) {
        out[1 + i] = uint8_t(channel >> (24 - 8 * i));
    }
    out[5] = command;
    out[6] = uint8_t(announced >> 8);
    out[7] = uint8_t(announced);
    std::copy(data.begin(), data.end(), out.begin() + 8);
    return out;
}

Bytes reportIdFirst(const Bytes& data)
{
    Bytes out(64, 0);
    out[0] = 0x01;
    out[2] = uint8_t(data.size());
    std::copy(data.begin(), data.end(), out.begin() + 5);
    return out;
}

uint32_t openChannel(Handle& h)
{
    const Bytes nonce = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(h.write(u2fInit(0xFFFFFFFF, 0x86, nonce, 8)), 65);
    const Bytes reply = h.read(1000);
    EXPECT_EQ(reply.size(), 64u);
    if (reply.size() != 64) {
        return 0;
    }
    return uint32_t(reply[15]) << 24 | uint32_t(reply[16]) << 16 | uint32_t(reply[17]) << 8 | reply[18];
}

TEST(HidrawEmulation, EnumerationListsEachTokenOncePerTopLevelUsage)
{
    struct Entry {
        std::string serial;
        uint16_t usagePage;
    };
    std::vector<Entry> seen;
    hid_device_info* list = hid_enumerate(kVendorId, kProductId);
    for (hid_device_info* d = list; d; d = d->next) {
        seen.push_back({narrow(d->serial_number), d->usage_page});
        EXPECT_EQ(narrow(d->manufacturer_string), "corvelWorks");
        EXPECT_EQ(narrow(d->product_string), "Vexa");
        EXPECT_EQ(d->release_number, 0x0100);
        EXPECT_EQ(d->interface_number, 0);
    }
    hid_free_enumeration(list);
    ASSERT_EQ(seen.size(), 4u);
    const Entry expected[] = {{kU2f, 0xF1D0}, {kU2f, 0xFF01}, {kReportId, 0xFF00}, {kReportId, 0xFF01}};
    for (const Entry& e : expected) {
        bool found = false;
        for (const Entry& s : seen) {
            found = found || (s.serial == e.serial && s.usagePage == e.usagePage);
        }
        EXPECT_TRUE(found) << e.serial << " usage page " << std::hex << e.usagePage;
    }
}

TEST(HidrawEmulation, U2fTokenHandsOutChannelAndAnswersOnIt)
{
    Handle h(kU2f);
    ASSERT_TRUE(h.ok());
    const Bytes nonce = {9, 8, 7, 6, 5, 4, 3, 2};
    ASSERT_EQ(h.write(u2fInit(0xFFFFFFFF, 0x86, nonce, 8)), 65);
    const Bytes init = h.read(1000);
    ASSERT_EQ(init.size(), 64u);
    EXPECT_EQ(Bytes(init.begin(), init.begin() + 7), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x86, 0x00, 17}));
    EXPECT_EQ(Bytes(init.begin() + 7, init.begin() + 15), nonce);
    const uint32_t channel = uint32_t(init[15]) << 24 | uint32_t(init[16]) << 16 | uint32_t(init[17]) << 8 | init[18];
    ASSERT_NE(channel, 0u);
    ASSERT_NE(channel, 0xFFFFFFFFu);

    ASSERT_EQ(h.write(u2fInit(channel, 0xC0, {1, 2, 3}, 3)), 65);
    const Bytes reply = h.read(1000);
    ASSERT_EQ(reply.size(), 64u);
    EXPECT_EQ(Bytes(reply.begin() + 4, reply.begin() + 10), (Bytes{0xC0, 0, 3, 3, 2, 1}));

    // A message on a channel the token never handed out: ERROR invalid channel.
    ASSERT_EQ(h.write(u2fInit(channel + 100, 0xC0, {1}, 1)), 65);
    const Bytes error = h.read(1000);
    ASSERT_EQ(error.size(), 64u);
    EXPECT_EQ(Bytes(error.begin() + 4, error.begin() + 8), (Bytes{0xBF, 0, 1, 0x0B}));
}

TEST(HidrawEmulation, ReportIdTokenIgnoresInitAndUsesNumberedReports)
{
    Handle h(kReportId);
    ASSERT_TRUE(h.ok());
    ASSERT_EQ(h.write(u2fInit(0xFFFFFFFF, 0x86, {1, 2, 3, 4, 5, 6, 7, 8}, 8)), 65);
    EXPECT_TRUE(h.read(100).empty());
    ASSERT_EQ(h.write(reportIdFirst({1, 2, 3})), 64);
    const Bytes reply = h.read(1000);
    ASSERT_EQ(reply.size(), 64u);
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 8), (Bytes{0x02, 0x00, 3, 0, 0, 3, 2, 1}));
}

TEST(HidrawEmulation, ShortReadTakesStartOfReportAndLosesTheRest)
{
    Handle h(kReportId);
    ASSERT_TRUE(h.ok());
    ASSERT_EQ(h.write(reportIdFirst({1, 2, 3})), 64);
    EXPECT_EQ(h.read(1000, 6), (Bytes{0x02, 0x00, 3, 0, 0, 3}));
    EXPECT_TRUE(h.read(100).empty());
}

TEST(HidrawEmulation, NewHandleDoesNotSeeOlderReports)
{
    Handle first(kReportId);
    ASSERT_TRUE(first.ok());
    ASSERT_EQ(first.write(reportIdFirst({1})), 64);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Handle second(kReportId);
    ASSERT_TRUE(second.ok());
    EXPECT_TRUE(second.read(100).empty());
}

// The 70 frames of a 4096-byte echo: the request as CHIDTransport sends it.
void writeLargestEcho(Handle& h, uint32_t channel)
{
    const Bytes message(4096, 0x5A);
    ASSERT_EQ(h.write(u2fInit(channel, 0xC0, Bytes(message.begin(), message.begin() + 57), message.size())), 65);
    for (size_t sent = 57, sequence = 0; sent < message.size(); sent += 59, ++sequence) {
        Bytes cont(65, 0xEE);
        cont[0] = 0;
        for (int i = 0; i < 4; ++i) {
            cont[1 + i] = uint8_t(channel >> (24 - 8 * i));
        }
        cont[5] = uint8_t(sequence);
        std::fill(cont.begin() + 6, cont.begin() + 6 + std::min<size_t>(59, message.size() - sent), 0x5A);
        ASSERT_EQ(h.write(cont), 65);
    }
}

constexpr size_t kLargestEchoFrames = 70;

// Reports of the handle, in order, until `count` arrived or a read found
// none within the time-out.
std::vector<Bytes> readUpTo(Handle& h, size_t count, int timeoutMs)
{
    std::vector<Bytes> reports;
    while (reports.size() < count) {
        Bytes report = h.read(timeoutMs);
        if (report.empty()) {
            break;
        }
        reports.push_back(report);
    }
    return reports;
}

// Each open handle gets its own copy of each report, and its own readiness:
// a handle that has read its copy waits for the next report even while
// another handle's copy is still unread.
TEST(HidrawEmulation, EveryHandleGetsItsOwnCopyAndReadiness)
{
    Handle a(kU2f);
    Handle b(kU2f);
    ASSERT_TRUE(a.ok() && b.ok());
    const Bytes nonce = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(a.write(u2fInit(0xFFFFFFFF, 0x86, nonce, 8)), 65);
    const Bytes first = a.read(1000);
    ASSERT_EQ(first.size(), 64u);
    EXPECT_TRUE(a.read(100).empty());
    EXPECT_EQ(b.read(1000), first);
    EXPECT_TRUE(b.read(100).empty());

    // A handle opened later sees only what comes after its open.
    Handle c(kU2f);
    ASSERT_TRUE(c.ok());
    EXPECT_TRUE(c.read(100).empty());
    ASSERT_EQ(b.write(u2fInit(0xFFFFFFFF, 0x86, nonce, 8)), 65);
    const Bytes second = c.read(1000);
    ASSERT_EQ(second.size(), 64u);
    EXPECT_EQ(a.read(1000), second);
    EXPECT_EQ(b.read(1000), second);

    // Each handle's descriptor is its own pty; hidapi still finds the device.
    wchar_t serial[32] = {};
    ASSERT_EQ(hid_get_serial_number_string(c.get(), serial, 32), 0);
    EXPECT_EQ(narrow(serial), kU2f);
}

// Two handles opened at the same moment, as two processes started together
// do (plain open(2) back to back, before the simulator has seen either): each
// still gets every report, and closing one leaves the other working.
TEST(HidrawEmulation, HandlesOpenedAtOnceEachKeepWorkingWhenTheOtherCloses)
{
    const std::string node = pathOf(kU2f);
    ASSERT_FALSE(node.empty());
    int first = ::open(node.c_str(), O_RDWR | O_CLOEXEC);
    const int second = ::open(node.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    // One report, read from a descriptor the way hidapi does (poll, read).
    auto readReport = [](int fd) {
        Bytes report(64);
        pollfd pfd{fd, POLLIN, 0};
        const ssize_t n = ::poll(&pfd, 1, 5000) == 1 ? ::read(fd, report.data(), report.size()) : -1;
        report.resize(n > 0 ? size_t(n) : 0);
        return report;
    };
    // The simulator knows of a handle once its first call went through, as
    // with hidapi's open; reports from then on reach it.
    int size = 0;
    ASSERT_EQ(::ioctl(second, HIDIOCGRDESCSIZE, &size), 0);
    const Bytes init = u2fInit(0xFFFFFFFF, 0x86, {1, 2, 3, 4, 5, 6, 7, 8}, 8);
    ASSERT_EQ(::write(first, init.data(), init.size()), ssize_t(init.size()));
    const Bytes reply = readReport(first);
    ASSERT_EQ(reply.size(), 64u);
    EXPECT_EQ(readReport(second), reply);

    ::close(first);
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(::write(second, init.data(), init.size()), ssize_t(init.size()));
        const Bytes again = readReport(second);
        ASSERT_EQ(again.size(), 64u) << round;
        EXPECT_EQ(Bytes(again.begin() + 4, again.begin() + 15), Bytes(reply.begin() + 4, reply.begin() + 15));
    }
    // Nothing is waiting for the survivor: the reports the closed handle
    // never read must not make it readable (each poll and read of a drain
    // would then wait for the token's silence).
    pollfd drained{second, POLLIN, 0};
    EXPECT_EQ(::poll(&drained, 1, 0), 0);
    ::close(second);
}

// A handle that never reads keeps the first 63 reports (hidraw's ring of 64
// slots with one kept free) and loses the later ones; it holds the token
// back for a moment, not for good, and the reading handle loses nothing.
TEST(HidrawEmulation, HandleThatDoesNotReadKeepsTheFirst63Reports)
{
    Handle reader(kU2f);
    Handle idle(kU2f);
    ASSERT_TRUE(reader.ok() && idle.ok());
    const uint32_t channel = openChannel(reader);
    writeLargestEcho(reader, channel);
    const std::vector<Bytes> got = readUpTo(reader, kLargestEchoFrames, 5000);
    ASSERT_EQ(got.size(), kLargestEchoFrames);

    const std::vector<Bytes> kept = readUpTo(idle, kLargestEchoFrames, 100);
    ASSERT_EQ(kept.size(), 63u);
    EXPECT_EQ(kept[0][4], 0x86);  // the INIT reply came first
    EXPECT_EQ(std::vector<Bytes>(kept.begin() + 1, kept.end()), std::vector<Bytes>(got.begin(), got.begin() + 62));
}

// The first large exchange after a reader was idle for a while: the token
// outruns the reader, whose last read is long past; the reader must still get
// every report (it lost 7 of 70 when the token judged readers by their last
// read alone).
TEST(HidrawEmulation, ReaderIdleBeforeALargeExchangeGetsEveryReport)
{
    Handle h(kU2f);
    ASSERT_TRUE(h.ok());
    const uint32_t channel = openChannel(h);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    writeLargestEcho(h, channel);
    // Let the token fill the queue before the first read.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::vector<Bytes> got = readUpTo(h, kLargestEchoFrames, 5000);
    ASSERT_EQ(got.size(), kLargestEchoFrames);
    EXPECT_TRUE(h.read(100).empty());
    for (size_t i = 1; i < got.size(); ++i) {
        EXPECT_EQ(got[i][4], i - 1) << "sequence";
    }
}

TEST(HidrawEmulation, WriteOfLessThanTwoBytesIsRejected)
{
    Handle h(kU2f);
    ASSERT_TRUE(h.ok());
    EXPECT_EQ(h.write({0x00}), -1);
}

TEST(HidrawEmulation, UnplugFailsOpenHandlesUntilPluggedAgain)
{
    Handle h(kU2f);
    Handle other(kU2f);
    ASSERT_TRUE(h.ok() && other.ok());
    ASSERT_EQ(vexa::test::controlFromInside(std::string("unplug ") + kU2f), "ok");
    EXPECT_EQ(h.write(reportIdFirst({1})), -1);
    EXPECT_NE(h.error().find("No such device"), std::string::npos) << h.error();
    for (Handle* handle : {&h, &other}) {
        int result = 0;
        handle->read(1000, 64, &result);
        EXPECT_EQ(result, -1);
    }
    EXPECT_EQ(pathOf(kU2f), "");
    EXPECT_NE(pathOf(kReportId), "");

    ASSERT_EQ(vexa::test::controlFromInside(std::string("plug ") + kU2f), "ok");
    Handle again(kU2f);
    ASSERT_TRUE(again.ok());
    EXPECT_NE(openChannel(again), 0u);
}

TEST(HidrawEmulation, ControlSocketReportsBadLines)
{
    EXPECT_EQ(vexa::test::controlFromInside("unplug 0000000000FF"), "error: no token 0000000000FF");
}

}  // namespace
