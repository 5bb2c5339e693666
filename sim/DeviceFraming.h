#pragma once
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

// What the framing made of one output report.
struct Received {
    Reports answer;                               // sent at once (INIT reply, protocol error)
    std::optional<std::vector<uint8_t>> request;  // set when the report completed a request
};

// The token's side of one framing: reassembles requests from output reports
// and cuts replies into input reports. A completed request opens a
// transaction that lasts until finish(); replies go to its sender. Not
// thread-safe: the token serialises its calls.
class IDeviceFraming {
public:
    virtual ~IDeviceFraming() = default;
    // One output report as the endpoint received it (at most kReportSize bytes).
    virtual Received receive(const uint8_t* report, size_t length) = 0;
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
