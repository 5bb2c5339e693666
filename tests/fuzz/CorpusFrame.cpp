// vexa-corpus-frame: frames messages for tests/fuzz/make-corpus with the
// framers the system itself uses, so that the seed corpora follow the code:
// the daemon's client packets (transport/ClientPacket), the host's HID
// reports (the HID transport's report builders), the token's HID reports
// (the simulator's device framing, in a real transaction) and the function
// number of a request (the wire component's peek).
//
// Reads one command per line on standard input and answers each with one
// line: the bytes in hex (several reports separated by spaces), a number,
// or "-" for no result. An empty byte string is written "-" too.
//
//   function HEX                 the request's function number and name
//   client-packet HEX            header and payload, as a client sends them
//   client-header LENGTH TYPE    a header alone, with any length and type
//   u2f-init                     the host's INIT request (a fixed nonce)
//   u2f-channel N                the channel a fresh token grants the Nth INIT
//   u2f-request CHANNEL HEX      the host's frames of a request
//   u2f-frame CHANNEL COMMAND LENGTH HEX   one initialisation frame, any header
//   reportid-request HEX         the host's reports of a request
//   reportid-first LENGTH HEX    one first report announcing any length
//   u2f-reply HEX                the token's frames of a reply
//   u2f-reply-elsewhere HEX      the same on another program's channel
//   u2f-error CODE               the token's ERROR frame
//   reportid-reply HEX           the token's reports of a reply
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "ClientPacket.h"
#include "DeviceFraming.h"
#include "HIDFraming.h"
#include "HexText.h"
#include "wire/CallTable.h"
#include "wire/Codec.h"
#include "wire/Peek.h"

namespace {

namespace hid = corvel::hid;
using Bytes = std::vector<uint8_t>;
using vexa::sim::Framing;

constexpr uint8_t kNonce[hid::kNonceSize] = {1, 2, 3, 4, 5, 6, 7, 8};
// What the token is asked while it frames a reply: the reply's framing
// does not depend on it.
Bytes anyRequest()
{
    vexa::wire::Request request;
    request.function = vexa::fn::GetTokenInfo;
    Bytes bytes;
    vexa::wire::encodeRequest(request, bytes, vexa::wire::kMaxRequest);
    return bytes;
}

Bytes bytesOf(const std::string& word) { return word == "-" ? Bytes{} : vexa::test::fromHex(word); }

std::string hexOf(const Bytes& bytes) { return bytes.empty() ? "-" : vexa::test::toHex(bytes); }

using Reports = std::vector<Bytes>;

template <typename Report>
void append(Reports& out, const Report& report)
{
    out.emplace_back(report.begin(), report.end());
}

std::string hexOf(const Reports& reports)
{
    std::string line;
    for (const Bytes& report : reports) {
        line += (line.empty() ? "" : " ") + hexOf(report);
    }
    return line.empty() ? "-" : line;
}

Bytes initRequest()
{
    hid::Frame frame;
    hid::buildInitFrame(frame, hid::kBroadcastChannel, hid::kCommandInit, hid::kNonceSize, kNonce, hid::kNonceSize);
    return Bytes(frame.begin(), frame.end());
}

Reports u2fRequest(uint32_t channel, const Bytes& message)
{
    Reports out;
    hid::forEachFrame(channel, message.data(), message.size(), [&](const hid::Frame& frame) {
        append(out, frame);
        return true;
    });
    return out;
}

Reports reportIdRequest(const Bytes& message)
{
    Reports out;
    hid::forEachReport(message.data(), message.size(), [&](const hid::Report& report) {
        append(out, report);
        return true;
    });
    return out;
}

// A simulated token's framing, talked to as the host talks to it.
class Token {
public:
    explicit Token(Framing framing) : m_device(vexa::sim::makeDeviceFraming(framing)), m_framing(framing) {}

    // Asks for a channel, as the host does on opening.
    uint32_t takeChannel()
    {
        const vexa::sim::Received received = send(initRequest());
        hid::Frame answer{};
        if (received.answer.size() != 1 || received.answer[0].size() != answer.size()) {
            throw std::runtime_error("the token did not answer INIT");
        }
        std::copy(received.answer[0].begin(), received.answer[0].end(), answer.begin());
        m_channel = hid::readBigEndian32(hid::initFrameData(answer) + hid::kNonceSize);
        return m_channel;
    }

    // The reports of a reply (an ERROR frame instead when code is given).
    Reports answer(const Bytes& reply, std::optional<uint8_t> code = std::nullopt)
    {
        const Bytes asked = anyRequest();
        const Reports request = m_framing == Framing::U2f ? u2fRequest(m_channel, asked) : reportIdRequest(asked);
        std::optional<Bytes> received;
        for (const Bytes& report : request) {
            vexa::sim::Received got = send(report);
            if (got.request) {
                received = std::move(got.request);
            }
        }
        if (received != asked) {
            throw std::runtime_error("the token did not take the request");
        }
        const vexa::sim::Reports reports = code ? m_device->error(*code) : m_device->reply(reply);
        m_device->finish();
        return Reports(reports.begin(), reports.end());
    }

private:
    // All of a request at one moment: nothing of it is ever late.
    vexa::sim::Received send(const Bytes& report)
    {
        return m_device->receive(report.data(), report.size(), vexa::sim::FramingClock::time_point{});
    }

    std::unique_ptr<vexa::sim::IDeviceFraming> m_device;
    Framing m_framing;
    uint32_t m_channel = 0;
};

// Tokens that have handed out channels: the first to this program, the
// second to another one.
struct Tokens {
    Token u2f{Framing::U2f};
    Token elsewhere{Framing::U2f};
    Token reportId{Framing::ReportId};

    Tokens()
    {
        u2f.takeChannel();
        elsewhere.takeChannel();
        elsewhere.takeChannel();
    }
};

uint32_t number(std::istream& words)
{
    std::string word;
    words >> word;
    return static_cast<uint32_t>(std::stoul(word, nullptr, 0));
}

Bytes hexWord(std::istream& words)
{
    std::string word = "-";
    words >> word;
    return bytesOf(word);
}

std::string function(const Bytes& request)
{
    const auto peeked = vexa::wire::peekRequest(request.data(), request.size());
    if (!peeked) {
        return "-";
    }
    const vexa::wire::Call* call = vexa::wire::findCall(peeked->function);
    return std::to_string(peeked->function) + " " + (call != nullptr ? call->name : "-");
}

std::string clientPacket(const Bytes& payload)
{
    corvel::ClientPacketBuffer packet;
    const size_t length = corvel::buildClientPacket(payload.data(), payload.size(), packet);
    return length == 0 ? "-" : hexOf(Bytes(packet.begin(), packet.begin() + length));
}

std::string clientHeader(uint32_t length, uint32_t type)
{
    uint8_t header[corvel::kClientHeaderSize];
    corvel::writeClientHeader(length, static_cast<uint8_t>(type), header);
    return hexOf(Bytes(header, header + sizeof header));
}

std::string u2fFrame(uint32_t channel, uint32_t command, uint32_t length, const Bytes& data)
{
    hid::Frame frame;
    hid::buildInitFrame(frame, channel, static_cast<uint8_t>(command), static_cast<uint16_t>(length), data.data(),
                        data.size());
    return hexOf(Bytes(frame.begin(), frame.end()));
}

std::string reportIdFirst(uint32_t length, Bytes data)
{
    // The builder copies what the report holds of `length` bytes: the data
    // given, then zeros.
    data.resize(std::max(data.size(), hid::kFirstReportData));
    hid::Report report;
    hid::buildFirstReport(report, data.data(), length);
    return hexOf(Bytes(report.begin(), report.end()));
}

std::string run(const std::string& command, std::istream& words, Tokens& tokens)
{
    if (command == "function") {
        return function(hexWord(words));
    }
    if (command == "client-packet") {
        return clientPacket(hexWord(words));
    }
    if (command == "client-header") {
        const uint32_t length = number(words);
        return clientHeader(length, number(words));
    }
    if (command == "u2f-init") {
        return hexOf(initRequest());
    }
    if (command == "u2f-channel") {
        Token fresh(Framing::U2f);
        uint32_t channel = 0;
        for (uint32_t n = number(words); n > 0; --n) {
            channel = fresh.takeChannel();
        }
        return std::to_string(channel);
    }
    if (command == "u2f-request") {
        const uint32_t channel = number(words);
        return hexOf(u2fRequest(channel, hexWord(words)));
    }
    if (command == "u2f-frame") {
        const uint32_t channel = number(words);
        const uint32_t frameCommand = number(words);
        const uint32_t length = number(words);
        return u2fFrame(channel, frameCommand, length, hexWord(words));
    }
    if (command == "reportid-request") {
        return hexOf(reportIdRequest(hexWord(words)));
    }
    if (command == "reportid-first") {
        const uint32_t length = number(words);
        return reportIdFirst(length, hexWord(words));
    }
    if (command == "u2f-reply") {
        return hexOf(tokens.u2f.answer(hexWord(words)));
    }
    if (command == "u2f-reply-elsewhere") {
        return hexOf(tokens.elsewhere.answer(hexWord(words)));
    }
    if (command == "u2f-error") {
        return hexOf(tokens.u2f.answer({}, static_cast<uint8_t>(number(words))));
    }
    if (command == "reportid-reply") {
        return hexOf(tokens.reportId.answer(hexWord(words)));
    }
    throw std::invalid_argument("unknown command " + command);
}

}  // namespace

int main()
{
    Tokens tokens;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string command;
        if (!(words >> command)) {
            continue;
        }
        try {
            std::cout << run(command, words, tokens) << '\n';
        } catch (const std::exception& e) {
            std::fprintf(stderr, "vexa-corpus-frame: %s: %s\n", line.substr(0, 60).c_str(), e.what());
            return 1;
        }
    }
    return 0;
}
