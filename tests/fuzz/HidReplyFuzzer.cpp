// fuzz-hid-reply: the HID transport's reassembly of a reply from input
// reports, in both framings, against the fake HID layer of the transport's
// tests, which hands out the fuzz input as reports.
//
// Input: byte 0 picks the framing (bit 0: U2FHID, else report ids), what
// follows the last report (bit 1: a failed read, as from a device that went
// away, else a time-out) and the reply buffer's size (bits 2-7). The rest is
// cut into 64-byte reports; a shorter tail is one short report. Two replies
// are read one after the other, so that what one leaves behind meets the
// next.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "CHIDTransport.h"
#include "Exception.h"
#include "FakeHidApi.h"

namespace {

using fakehid::Bytes;

constexpr size_t kReportSize = 64;
// The channel a fresh token grants first: the seeds' replies are framed by
// the simulator's token on it.
constexpr uint32_t kChannel = 1;
constexpr size_t kCapacities[] = {1, 2, 56, 57, 58, 59, 60, 64, 116, 117, 121, 2048, 4096, 7609};

void require(bool holds, const char* what)
{
    if (!holds) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

Bytes bigEndian32(uint32_t value)
{
    return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value)};
}

// The token's answer to the channel request: its nonce and our channel.
void answerInit(const Bytes& written)
{
    const bool isInit = written.size() == kReportSize + 1 && written[1] == 0xFF && written[2] == 0xFF &&
                        written[3] == 0xFF && written[4] == 0xFF && written[5] == 0x86;
    if (!isInit) {
        return;
    }
    Bytes frame{0xFF, 0xFF, 0xFF, 0xFF, 0x86, 0x00, 17};
    frame.insert(frame.end(), written.begin() + 8, written.begin() + 16);
    const Bytes channel = bigEndian32(kChannel);
    frame.insert(frame.end(), channel.begin(), channel.end());
    frame.insert(frame.end(), {0x02, 0x01, 0x00, 0x00, 0x00});
    frame.resize(kReportSize, 0x00);
    fakehid::queueInput(frame);
}

void openTransport(corvel::CHIDTransport& transport, bool u2f)
{
    fakehid::reset();
    fakehid::state().devices.push_back(fakehid::Device{});
    if (u2f) {
        fakehid::state().onWrite = answerInit;
    }
    transport.setVendorProductId(0x0483, 0xA2AC);
    transport.open();
    require(transport.isOpen(), "the fake token opens");
    fakehid::state().onWrite = nullptr;
}

// One transport per framing, opened again only when a failed read has
// closed it: an open costs more than the reads it is there for.
corvel::CHIDTransport& transportFor(bool u2f)
{
    static corvel::CHIDTransport* transports[2] = {new corvel::CHIDTransport(), new corvel::CHIDTransport()};
    corvel::CHIDTransport& transport = *transports[u2f ? 1 : 0];
    if (!transport.isOpen()) {
        openTransport(transport, u2f);
    }
    fakehid::State& fake = fakehid::state();
    fake.inputs.clear();
    fake.written.clear();
    fake.readTimeouts.clear();
    // A read that gave up makes the next write ask for a fresh channel.
    fake.onWrite = u2f ? answerInit : nullptr;
    return transport;
}

void queueReports(const uint8_t* data, size_t size, bool failAtEnd)
{
    for (size_t offset = 0; offset < size; offset += kReportSize) {
        fakehid::queueInput(Bytes(data + offset, data + std::min(size, offset + kReportSize)));
    }
    fakehid::queueResult(failAtEnd ? -1 : 0);
}

// One read: a reply no longer than the buffer, or one of the transport's
// failures; nothing else may come out.
void readOnce(corvel::CHIDTransport& transport, size_t capacity)
{
    std::vector<uint8_t> buffer(capacity);
    try {
        const size_t received = transport.read(buffer.data(), buffer.size());
        require(received <= capacity, "a reply fits the buffer");
    } catch (const corvel::IOException&) {
    }
}

// Frees what the fake kept of this run: memory a run leaves allocated makes
// libFuzzer suspect a leak and check for one after every run, ten times as
// slow.
void releaseFakeState()
{
    fakehid::State& fake = fakehid::state();
    fake.inputs = {};
    fake.written = {};
    fake.readTimeouts = {};
}

void exchange(const uint8_t* data, size_t size)
{
    const bool u2f = (data[0] & 1) != 0;
    const bool failAtEnd = (data[0] & 2) != 0;
    const size_t capacity = kCapacities[(data[0] >> 2) % (sizeof kCapacities / sizeof kCapacities[0])];
    corvel::CHIDTransport& transport = transportFor(u2f);
    const uint8_t request[] = {0x08, 0x16};
    try {
        transport.write(request, sizeof request);
    } catch (const corvel::IOException&) {
        return;
    }
    queueReports(data + 1, size - 1, failAtEnd);
    readOnce(transport, capacity);
    if (transport.isOpen()) {
        readOnce(transport, capacity);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size >= 1) {
        exchange(data, size);
        releaseFakeState();
    }
    return 0;
}
