#include "HalfRequest.h"

#include <hidapi.h>
#include <signal.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

namespace vexa::test {
namespace {

constexpr uint16_t kVendorId = 0x0483;
constexpr uint16_t kProductId = 0xA2AC;
constexpr size_t kReport = 64;
constexpr uint32_t kBroadcast = 0xFFFFFFFF;

using Report = std::vector<uint8_t>;

void putBe32(Report& r, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        r[at + i] = uint8_t(v >> (24 - 8 * i));
    }
}

// What hid_write takes: the report id (0 for unnumbered reports) and the report.
bool write(hid_device* device, const Report& report, bool numbered)
{
    Report buffer;
    if (!numbered) {
        buffer.push_back(0);
    }
    buffer.insert(buffer.end(), report.begin(), report.end());
    return hid_write(device, buffer.data(), buffer.size()) == static_cast<int>(buffer.size());
}

// The channel the token hands out on INIT; 0 when it does not answer.
uint32_t openChannel(hid_device* device)
{
    Report init(kReport, 0);
    putBe32(init, 0, kBroadcast);
    init[4] = 0x86;
    init[6] = 8;
    for (size_t i = 0; i < 8; ++i) {
        init[7 + i] = uint8_t(0xA0 + i);
    }
    if (!write(device, init, false)) {
        return 0;
    }
    Report reply(kReport);
    for (int i = 0; i < 16; ++i) {
        if (hid_read_timeout(device, reply.data(), reply.size(), 1000) != static_cast<int>(kReport)) {
            return 0;
        }
        if (reply[4] == 0x86 && std::equal(init.begin() + 7, init.begin() + 15, reply.begin() + 7)) {
            return uint32_t(reply[15]) << 24 | uint32_t(reply[16]) << 16 | uint32_t(reply[17]) << 8 | reply[18];
        }
    }
    return 0;
}

// The reports of a request of `length` bytes; each framing's first report
// and continuation reports, the data being zeros.
std::vector<Report> u2fReports(uint32_t channel, size_t length)
{
    std::vector<Report> reports;
    Report first(kReport, 0xEE);
    putBe32(first, 0, channel);
    first[4] = 0xC0;
    first[5] = uint8_t(length >> 8);
    first[6] = uint8_t(length);
    reports.push_back(first);
    for (size_t sent = 57, sequence = 0; sent < length; sent += 59, ++sequence) {
        Report cont(kReport, 0xEE);
        putBe32(cont, 0, channel);
        cont[4] = uint8_t(sequence);
        reports.push_back(cont);
    }
    return reports;
}

std::vector<Report> reportIdReports(size_t length)
{
    std::vector<Report> reports;
    Report first(kReport, 0);
    first[0] = 0x01;
    first[2] = uint8_t(length);
    first[3] = uint8_t(length >> 8);
    first[4] = uint8_t(length >> 16);
    reports.push_back(first);
    for (size_t sent = 59; sent < length; sent += 62) {
        Report cont(kReport, 0);
        cont[0] = 0x01;
        cont[1] = 0x01;
        reports.push_back(cont);
    }
    return reports;
}

int fail(const std::string& what)
{
    std::fprintf(stderr, "vexa-sim-probe: %s\n", what.c_str());
    return 1;
}

}  // namespace

int sendHalfARequest(const std::string& serial, size_t length, const std::string& framing)
{
    const bool u2f = framing == "u2f";
    if (!u2f && framing != "reportid") {
        return fail("framing is u2f or reportid, not " + framing);
    }
    if (hid_init() != 0) {
        return fail("hid_init failed");
    }
    const std::wstring wideSerial(serial.begin(), serial.end());
    hid_device* device = hid_open(kVendorId, kProductId, wideSerial.c_str());
    if (!device) {
        return fail("cannot open " + serial);
    }
    std::vector<Report> reports;
    if (u2f) {
        const uint32_t channel = openChannel(device);
        if (channel == 0) {
            return fail("no U2FHID channel from " + serial);
        }
        reports = u2fReports(channel, length);
    } else {
        reports = reportIdReports(length);
    }
    for (size_t i = 0; i < std::max<size_t>(1, reports.size() / 2); ++i) {
        if (!write(device, reports[i], !u2f)) {
            return fail("write failed");
        }
    }
    std::printf("half sent\n");
    std::fflush(stdout);
    for (std::string line; std::getline(std::cin, line);) {
    }
    ::raise(SIGKILL);
    return fail("still alive");
}

}  // namespace vexa::test
