// vexa-bench-hid: exchange times through CHIDTransport and vexa-token-sim.
// Prints, per framing and message size, the median wall time of one
// exchange with and without --usb-timing, the USB frame-time limit (reports
// out + reports in, 1 ms each), and the CPU time CHIDTransport adds per
// exchange over raw hidapi calls moving the same reports.
#include <hidapi/hidapi.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "CHIDTransport.h"
#include "TokenSimulator.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kVendorId = 0x0483;
constexpr uint16_t kProductId = 0xA2AC;
const char* const kU2fSerial = "00000000000A";
const char* const kReportIdSerial = "00000000000B";

double threadCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

double wallMs()
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

size_t reportsFor(bool u2f, size_t length)
{
    const size_t first = u2f ? 57 : 59, next = u2f ? 59 : 62;
    return length <= first ? 1 : 1 + (length - first + next - 1) / next;
}

struct Sample {
    double wall;
    double cpu;
};

// Raw hidapi moving the reports CHIDTransport would move, without its
// framing code; the token answers them, so the read side is real too.
class RawLink {
public:
    RawLink(const char* serial, bool u2f) : m_u2f(u2f)
    {
        const std::wstring wide(serial, serial + std::strlen(serial));
        m_device = hid_open(kVendorId, kProductId, wide.c_str());
        if (m_device && m_u2f) {
            m_channel = openChannel();
        }
    }
    ~RawLink()
    {
        if (m_device) {
            hid_close(m_device);
        }
    }
    RawLink(const RawLink&) = delete;
    RawLink& operator=(const RawLink&) = delete;

    Sample exchange(size_t length)
    {
        const double wall0 = wallMs(), cpu0 = threadCpuMs();
        const size_t reports = reportsFor(m_u2f, length);
        uint8_t buffer[65];
        for (size_t i = 0; i < reports; ++i) {
            fill(buffer, i, length);
            hid_write(m_device, buffer, m_u2f ? 65 : 64);
        }
        for (size_t i = 0; i < reports; ++i) {
            hid_read_timeout(m_device, buffer, 64, 2000);
        }
        return {wallMs() - wall0, threadCpuMs() - cpu0};
    }

private:
    void fill(uint8_t* buffer, size_t index, size_t length) const
    {
        std::memset(buffer, 0, 65);
        if (!m_u2f) {
            buffer[0] = 1;
            buffer[1] = index == 0 ? 0 : 1;
            buffer[2] = uint8_t(length);
            buffer[3] = uint8_t(length >> 8);
            return;
        }
        for (int b = 0; b < 4; ++b) {
            buffer[1 + b] = uint8_t(m_channel >> (24 - 8 * b));
        }
        buffer[5] = index == 0 ? 0xC0 : uint8_t(index - 1);
        buffer[6] = uint8_t(length >> 8);
        buffer[7] = uint8_t(length);
    }
    uint32_t openChannel()
    {
        uint8_t init[65] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0x86, 0, 8, 1, 2, 3, 4, 5, 6, 7, 8};
        uint8_t reply[64] = {};
        hid_write(m_device, init, sizeof init);
        if (hid_read_timeout(m_device, reply, sizeof reply, 1000) != 64) {
            return 0xFFFFFFFF;
        }
        return uint32_t(reply[15]) << 24 | uint32_t(reply[16]) << 16 | uint32_t(reply[17]) << 8 | reply[18];
    }

    hid_device* m_device = nullptr;
    bool m_u2f;
    uint32_t m_channel = 0xFFFFFFFF;
};

Sample transportExchange(corvel::CHIDTransport& t, const Bytes& request, Bytes& reply)
{
    const double wall0 = wallMs(), cpu0 = threadCpuMs();
    t.write(request);
    t.read(reply.data(), reply.size());
    return {wallMs() - wall0, threadCpuMs() - cpu0};
}

struct Medians {
    double wall;
    double cpu;
};

Medians transportMedians(const char* serial, size_t length, int iterations, bool& u2f)
{
    corvel::CHIDTransport transport;
    transport.setVendorProductId(kVendorId, kProductId);
    transport.setSerialNumber(serial);
    transport.open();
    u2f = transport.usesU2F();
    transport.setTimeout(2000);
    Bytes request(length, 0x5A), reply(4096);
    std::vector<double> wall, cpu;
    transportExchange(transport, request, reply);  // warm-up
    for (int i = 0; i < iterations; ++i) {
        const Sample s = transportExchange(transport, request, reply);
        wall.push_back(s.wall);
        cpu.push_back(s.cpu);
    }
    return {median(wall), median(cpu)};
}

double rawCpuMedian(const char* serial, bool u2f, size_t length, int iterations)
{
    RawLink raw(serial, u2f);
    std::vector<double> cpu;
    raw.exchange(length);  // warm-up
    for (int i = 0; i < iterations; ++i) {
        cpu.push_back(raw.exchange(length).cpu);
    }
    return median(cpu);
}

// Runs under the simulator: one line per framing and size.
int inner(const std::string& mode, int iterations)
{
    for (const char* serial : {kU2fSerial, kReportIdSerial}) {
        for (size_t length : {size_t(64), size_t(2000)}) {
            bool u2f = false;
            const Medians t = transportMedians(serial, length, iterations, u2f);
            const double raw = rawCpuMedian(serial, u2f, length, iterations);
            const double limit = double(2 * reportsFor(u2f, length));
            std::printf(
                "%-10s %-8s %4zu B: median %7.3f ms, USB frame limit %4.0f ms, "
                "CPU per exchange %6.3f ms (raw hidapi %6.3f ms, CHIDTransport's own %6.3f ms)\n",
                mode.c_str(), u2f ? "u2f" : "reportid", length, t.wall, limit, t.cpu, raw, t.cpu - raw);
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::string(argv[1]) == "--inner") {
        return inner(argv[2], std::stoi(argv[3]));
    }
    const std::string self = argv[0];
    const std::vector<std::string> tokens = {
        "--firmware", "echo", "--token", kU2fSerial, "--token", std::string(kReportIdSerial) + ",framing=reportid"};
    int status = 0;
    for (bool timing : {false, true}) {
        std::vector<std::string> args = tokens;
        if (timing) {
            args.push_back("--usb-timing");
        }
        const vexa::test::RunResult r = vexa::test::runUnderSimulator(
            args, {self, "--inner", timing ? "usb-timing" : "plain", timing ? "30" : "100"}, {},
            std::chrono::minutes(5));
        std::fputs(r.output.c_str(), stdout);
        status = status ? status : r.status;
    }
    return status;
}
