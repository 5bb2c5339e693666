#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "CHIDTransport.h"
#include "Exception.h"
#include "FakeHidApi.h"
#include "IoFailure.h"
#include "RecordingLog.h"

// Token-side encoders, written apart from the transport's own framing code so
// the tests check the bytes against a second reading of the protocol.
namespace hidtest {

using fakehid::Bytes;

constexpr uint32_t kChannel = 0x1A2B3C4D;

using namespace vexa::test;

// Distinct, position-dependent bytes so a misplaced byte shows.
Bytes pattern(size_t length, uint8_t seed = 1);

// Reports of a message in report-id framing; reportId 1 for requests, 2 for replies.
std::vector<Bytes> reportIdReports(uint8_t reportId, const Bytes& message);
Bytes reportIdFirst(uint32_t total, const Bytes& data);
Bytes reportIdContinuation(const Bytes& data);

// 64-byte U2FHID frames; unused bytes are padding.
Bytes u2fInit(uint32_t channel, uint8_t command, uint16_t length, const Bytes& data, uint8_t padding = 0x00);
Bytes u2fContinuation(uint32_t channel, uint8_t sequence, const Bytes& data, uint8_t padding = 0x00);
std::vector<Bytes> u2fFrames(uint32_t channel, uint8_t command, const Bytes& message, uint8_t padding = 0x00);
Bytes u2fInitReply(const Bytes& nonce, uint32_t channel);

void queueInputs(const std::vector<Bytes>& inputs);

// Whether a buffer handed to hid_write is a U2FHID INIT request.
bool isInitRequest(const Bytes& written);

fakehid::Device token(const wchar_t* serial, const char* path = "/dev/hidraw0", const wchar_t* product = L"Vexa");

template <typename Change>
fakehid::Device changed(fakehid::Device base, Change change)
{
    change(base);
    return base;
}

// One read into a buffer of the given capacity; the bytes it returned.
Bytes readReply(corvel::CHIDTransport& transport, size_t capacity);

// A transport over the fake HID layer with one token attached.
class HidTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Opens with no INIT answer, so report-id framing is in force.
    void openReportId();
    // Opens with the token answering INIT with channel.
    void openU2F(uint32_t channel = kChannel);
    // From now on the token answers every INIT request with channel.
    void answerInits(uint32_t channel);
    fakehid::State& fake() { return fakehid::state(); }

    vexa::test::RecordingLog log;
    corvel::CHIDTransport transport;
};

}  // namespace hidtest
