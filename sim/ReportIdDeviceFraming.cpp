#include "ReportIdDeviceFraming.h"

#include <algorithm>

namespace vexa::sim {
namespace {

constexpr uint8_t kFirst = 0x00;
constexpr uint8_t kContinuation = 0x01;
constexpr size_t kFirstData = kReportSize - 5;
constexpr size_t kContData = kReportSize - 2;

Report inputReport(uint8_t type)
{
    Report report(kReportSize, 0);
    report[0] = CReportIdDeviceFraming::kInputReportId;
    report[1] = type;
    return report;
}

}  // namespace

Received CReportIdDeviceFraming::receive(const uint8_t* report, size_t length, FramingClock::time_point at)
{
    uint8_t buffer[kReportSize] = {};
    std::copy_n(report, std::min(length, kReportSize), buffer);
    const bool gaveUp = expire(at).gaveUp;
    Received r = receiveReport(buffer, at);
    r.gaveUp = gaveUp;
    return r;
}

std::optional<FramingClock::time_point> CReportIdDeviceFraming::deadline() const
{
    return m_assembling ? std::optional<FramingClock::time_point>(m_deadline.at()) : std::nullopt;
}

Received CReportIdDeviceFraming::expire(FramingClock::time_point now)
{
    Received r;
    if (m_assembling && now >= m_deadline.at()) {
        m_assembling = false;
        m_message.clear();
        r.gaveUp = true;
    }
    return r;
}

Received CReportIdDeviceFraming::receiveReport(const uint8_t* buffer, FramingClock::time_point at)
{
    if (buffer[0] != kOutputReportId) {
        return {};
    }
    if (buffer[1] == kFirst) {
        m_expected = size_t(buffer[2]) | size_t(buffer[3]) << 8 | size_t(buffer[4]) << 16;
        // Too long for the token's buffer: dropped, as this framing cannot say why.
        m_assembling = m_expected <= kMaxMessage;
        m_deadline.start(at);
        m_message.assign(buffer + 5, buffer + 5 + std::min(m_expected, kFirstData));
        return m_assembling ? finishIfComplete() : Received{};
    }
    if (buffer[1] != kContinuation || !m_assembling) {
        return {};
    }
    m_deadline.frame(at);
    const size_t take = std::min(m_expected - m_message.size(), kContData);
    m_message.insert(m_message.end(), buffer + 2, buffer + 2 + take);
    return finishIfComplete();
}

Received CReportIdDeviceFraming::finishIfComplete()
{
    Received r;
    if (m_message.size() < m_expected) {
        return r;
    }
    m_assembling = false;
    r.request = std::move(m_message);
    m_message.clear();
    return r;
}

Reports CReportIdDeviceFraming::reply(const std::vector<uint8_t>& message)
{
    Reports out;
    if (message.size() > kMaxMessage) {
        return out;
    }
    Report first = inputReport(kFirst);
    first[2] = uint8_t(message.size());
    first[3] = uint8_t(message.size() >> 8);
    first[4] = uint8_t(message.size() >> 16);
    size_t sent = std::min(message.size(), kFirstData);
    std::copy_n(message.begin(), sent, first.begin() + 5);
    out.push_back(std::move(first));
    while (sent < message.size()) {
        Report cont = inputReport(kContinuation);
        const size_t take = std::min(message.size() - sent, kContData);
        std::copy_n(message.begin() + sent, take, cont.begin() + 2);
        sent += take;
        out.push_back(std::move(cont));
    }
    return out;
}

Reports CReportIdDeviceFraming::garbledReply(const std::vector<uint8_t>& message)
{
    // A continuation report with nothing before it: the first report is lost.
    Report cont = inputReport(kContinuation);
    std::copy_n(message.begin(), std::min(message.size(), kContData), cont.begin() + 2);
    return {cont};
}

Reports CReportIdDeviceFraming::error(uint8_t code)
{
    (void)code;
    return {};
}

}  // namespace vexa::sim
