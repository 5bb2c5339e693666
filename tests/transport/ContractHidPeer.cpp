// A token behind the fake HID layer, in report-id or U2FHID framing. It takes
// requests apart from what the transport hands to hid_write and puts its
// replies where hid_read_timeout finds them.
#include <algorithm>

#include "CHIDTransport.h"
#include "ContractPeer.h"
#include "FakeHidApi.h"
#include "HidTestSupport.h"

namespace contract {
namespace {

constexpr uint32_t kBroadcast = 0xFFFFFFFF;
constexpr uint8_t kMessageCommand = 0xC0;
constexpr uint8_t kErrorCommand = 0xBF;
constexpr uint8_t kInvalidSequenceError = 0x04;
// Longer than one report or frame, so that a broken reply leaves parts behind.
const Bytes kGarbledReply = hidtest::pattern(200, 0x5A);

uint32_t bigEndian32(const uint8_t* bytes)
{
    return uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
}

class HidPeer final : public Peer {
public:
    explicit HidPeer(bool u2f) : m_u2f(u2f)
    {
        fakehid::reset();
        fakehid::state().devices.push_back(fakehid::Device{});
        fakehid::state().onWrite = [this](const Bytes& written) { take(written); };
        m_transport.setVendorProductId(0x0483, 0xA2AC);
    }
    ~HidPeer() override
    {
        m_transport.close();
        fakehid::reset();
    }

    corvel::CTransport& transport() override { return m_transport; }
    bool can(Act act) const override { return act != Act::TokenError || m_u2f; }
    // Within the next time-out, though not at once: a transport that only
    // takes what is already there before it writes misses the late reply.
    void releaseLate() override
    {
        for (Bytes& unit : m_held) {
            fakehid::queuePending(std::move(unit));
        }
        m_held.clear();
    }
    void unplug() override { fakehid::state().unplugged = true; }
    void replug() override { fakehid::state().unplugged = false; }
    int connections() override { return fakehid::state().handlesOpened; }
    size_t longestRequest() const override { return m_u2f ? 57 + 128 * 59 : 0xFFFFFF; }
    void muteResync(bool muted) override { m_muteInit = muted; }

private:
    void take(const Bytes& written)
    {
        if (m_u2f && written.size() == 65 && written[0] == 0x00) {
            takeFrame(Bytes(written.begin() + 1, written.end()));
        } else if (!m_u2f && written.size() == 64 && written[0] == 0x01) {
            takeReport(written);
        }
        // Anything else is not addressed to a token of this framing: the
        // INIT probe, for one, goes unanswered in report-id framing.
    }

    void takeReport(const Bytes& report)
    {
        if (report[1] == 0x00) {
            startRequest(size_t(report[2]) | size_t(report[3]) << 8 | size_t(report[4]) << 16);
            append(report.data() + 5, 59);
        } else if (report[1] == 0x01 && m_assembling) {
            append(report.data() + 2, 62);
        }
    }

    void takeFrame(const Bytes& frame)
    {
        const uint32_t channel = bigEndian32(frame.data());
        const uint8_t command = frame[4];
        if (channel == kBroadcast && command == 0x86) {
            answerInit(frame);
        } else if (command == kMessageCommand) {
            m_channel = channel;
            startRequest(size_t(frame[5]) << 8 | frame[6]);
            append(frame.data() + 7, 57);
        } else if ((command & 0x80) == 0 && m_assembling && channel == m_channel) {
            append(frame.data() + 5, 59);
        }
    }

    void answerInit(const Bytes& frame)
    {
        if (!m_muteInit) {
            fakehid::queueInput(hidtest::u2fInitReply(Bytes(frame.begin() + 7, frame.begin() + 15), m_nextChannel++));
        }
    }

    // A first report or frame cuts short the request it interrupts; the
    // token keeps what it got of that one as a request of its own, which
    // shows that a request was only partly sent.
    void startRequest(size_t length)
    {
        if (m_assembling) {
            m_script.take(m_request);
        }
        m_request.clear();
        m_expected = length;
        m_assembling = true;
    }

    void append(const uint8_t* data, size_t available)
    {
        const size_t count = std::min(available, m_expected - m_request.size());
        m_request.insert(m_request.end(), data, data + count);
        if (m_request.size() == m_expected) {
            m_assembling = false;
            respond(m_script.take(m_request), reversed(m_request));
        }
    }

    void respond(Act act, const Bytes& reply)
    {
        std::vector<Bytes> units = replyUnits(reply);
        switch (act) {
        case Act::Answer:
            hidtest::queueInputs(units);
            break;
        case Act::Silent:
            break;
        case Act::Late:
            m_held = units;
            break;
        case Act::Stalled:
            fakehid::queueInput(units.front());
            m_held.assign(units.begin() + 1, units.end());
            break;
        case Act::Garbled:
            hidtest::queueInputs(garbled());
            break;
        case Act::TokenError:
            fakehid::queueInput(hidtest::u2fInit(m_channel, kErrorCommand, 1, {kInvalidSequenceError}));
            break;
        case Act::HangUp:
            // Unplugged and at once plugged in again: the old handle is dead.
            fakehid::state().failingHandles = fakehid::state().handlesOpened;
            break;
        }
    }

    std::vector<Bytes> replyUnits(const Bytes& reply) const
    {
        return m_u2f ? hidtest::u2fFrames(m_channel, kMessageCommand, reply) : hidtest::reportIdReports(0x02, reply);
    }

    // Report-id: a first report of an unknown packet type; U2FHID: a reply
    // whose first continuation is out of sequence. The rest of the reply
    // follows either way.
    std::vector<Bytes> garbled() const
    {
        std::vector<Bytes> units = replyUnits(kGarbledReply);
        if (m_u2f) {
            units[1][4] = 0x01;
        } else {
            units[0][1] = 0x07;
        }
        return units;
    }

    bool m_u2f;
    corvel::CHIDTransport m_transport;
    uint32_t m_nextChannel = 0x10000001;
    uint32_t m_channel = kBroadcast;  // of the request being taken
    bool m_muteInit = false;
    bool m_assembling = false;
    size_t m_expected = 0;
    Bytes m_request;
    std::vector<Bytes> m_held;  // a reply held back until releaseLate
};

}  // namespace

std::unique_ptr<Peer> makeHidPeer(bool u2f) { return std::make_unique<HidPeer>(u2f); }

}  // namespace contract
