#pragma once
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "TokenDescription.h"

namespace vexa::sim {

using Report = std::vector<uint8_t>;
using Reports = std::vector<Report>;

// Size of every report on the token's interrupt endpoints (report id included
// in report-id framing), and the largest message the token accepts: what
// U2FHID sequence numbers can carry, used for both framings.
inline constexpr size_t kReportSize = 64;
inline constexpr size_t kMaxMessage = 57 + 128 * 59;

using FramingClock = std::chrono::steady_clock;

// A host that stops in the middle of a request (killed, or gone) must not
// hold the token: as a U2FHID device does, the token gives a partial request
// up once its next report is more than kFrameTimeout late or the whole
// request has taken kTransactionTimeout, and serves the next one.
inline constexpr std::chrono::milliseconds kFrameTimeout{500};
inline constexpr std::chrono::milliseconds kTransactionTimeout{3000};

// When a partial request is given up.
class CRequestDeadline {
public:
    void start(FramingClock::time_point at) { m_first = m_last = at; }
    void frame(FramingClock::time_point at) { m_last = at; }
    FramingClock::time_point at() const { return std::min(m_last + kFrameTimeout, m_first + kTransactionTimeout); }

private:
    FramingClock::time_point m_first{};
    FramingClock::time_point m_last{};
};

// What the framing made of one output report, or of the passing of time.
struct Received {
    Reports answer;                               // sent at once (INIT reply, protocol error)
    std::optional<std::vector<uint8_t>> request;  // set when the report completed a request
    bool gaveUp = false;                          // a partial request was given up
};

// The token's side of one framing: reassembles requests from output reports
// and cuts replies into input reports. A completed request opens a
// transaction that lasts until finish(); replies go to its sender. Not
// thread-safe: the token serialises its calls.
class IDeviceFraming {
public:
    virtual ~IDeviceFraming() = default;
    // One output report as the endpoint received it (at most kReportSize
    // bytes) at `at`. A partial request whose deadline had passed by then
    // is given up first.
    virtual Received receive(const uint8_t* report, size_t length, FramingClock::time_point at) = 0;
    // The deadline of the partial request under way, if there is one.
    virtual std::optional<FramingClock::time_point> deadline() const = 0;
    // Gives the partial request up if its deadline has passed at `now`.
    virtual Received expire(FramingClock::time_point now) = 0;
    // The reports of the transaction's reply; empty when it has nowhere to go.
    virtual Reports reply(const std::vector<uint8_t>& message) = 0;
    // The reply with its continuation broken, so the host must reject it.
    virtual Reports garbledReply(const std::vector<uint8_t>& message) = 0;
    // An ERROR frame with this code; empty when the framing has none.
    virtual Reports error(uint8_t code) = 0;
    // The transaction is over (its reply is out, or there is none).
    virtual void finish() = 0;
};

std::unique_ptr<IDeviceFraming> makeDeviceFraming(Framing framing);

}  // namespace vexa::sim
