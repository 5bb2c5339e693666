// fuzz-client-packet: the daemon's reading of client requests from a byte
// stream, the part that the Unix and TLS connection loops share, with no
// socket, thread or pause.
//
// The input is what a client sent on one connection. It is read twice: as
// requests one after the other until the stream ends within a header
// (readClientRequest alone), and through the whole request loop
// (ServeClient) under the rules of each transport, with a token that answers
// each request with a reply whose length the request's first bytes ask for.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "ClientLoop.h"
#include "ClientPacket.h"
#include "DaemonLog.h"

namespace {

using corvel::ClientRequestOutcome;

void require(bool holds, const char* what)
{
    if (!holds) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// Counts what was taken, so that the reader is seen to take no byte twice
// and none beyond the input.
class CountingBytes : public corvel::IClientByteSource {
public:
    CountingBytes(const uint8_t* data, size_t size) : m_bytes(data, size), m_size(size) {}
    size_t readExactly(uint8_t* data, size_t length) override
    {
        const size_t count = m_bytes.readExactly(data, length);
        require(count <= length, "no more bytes than asked for");
        m_taken += count;
        return count;
    }
    size_t taken() const { return m_taken; }
    size_t size() const { return m_size; }

private:
    corvel::CClientBytes m_bytes;
    size_t m_size;
    size_t m_taken = 0;
};

void checkRequest(const corvel::ClientRequest& request, const corvel::ClientPayloadBuffer& payload)
{
    switch (request.outcome) {
    case ClientRequestOutcome::ShortHeader:
        require(request.received < corvel::kClientHeaderSize, "a short header is short");
        break;
    case ClientRequestOutcome::LengthTooBig:
        require(request.header.length > payload.size() && request.received == 0, "a long request is not read");
        break;
    case ClientRequestOutcome::ShortPayload:
        require(request.received < request.header.length, "a short payload is short");
        break;
    case ClientRequestOutcome::Complete:
    case ClientRequestOutcome::OtherCommand:
        require(request.received == request.header.length && request.received <= payload.size(),
                "a whole request fits the buffer");
        require((request.outcome == ClientRequestOutcome::Complete) == (request.header.commandType == 0),
                "command type 0 goes to the token");
        break;
    }
}

void readRequests(const uint8_t* data, size_t size)
{
    CountingBytes source(data, size);
    corvel::ClientPayloadBuffer payload;
    for (;;) {
        const size_t before = source.taken();
        const corvel::ClientRequest request = corvel::readClientRequest(source, payload);
        checkRequest(request, payload);
        require(source.taken() <= source.size(), "nothing read beyond the input");
        if (request.outcome == ClientRequestOutcome::ShortHeader) {
            break;
        }
        require(source.taken() > before, "every request takes bytes");
    }
}

// A connection over the input: replies go nowhere, the peer never leaves
// before the input ends.
class MemoryStream : public vexa::daemon::CClientStream {
public:
    MemoryStream(const uint8_t* data, size_t size) : m_bytes(data, size) {}
    size_t readExactly(uint8_t* data, size_t length) override { return m_bytes.readExactly(data, length); }
    bool writeAll(const uint8_t* data, size_t length) override
    {
        require(length <= corvel::kDaemonPayloadMax, "a reply fits the buffer it is written from");
        volatile uint8_t sink = 0;
        for (size_t i = 0; i < length; ++i) {
            sink = sink ^ data[i];
        }
        return length % 3 != 1;  // now and then a write fails
    }
    bool peerGone() override { return false; }
    void logHeaderEnd(size_t) override {}
    void logPayloadEnd() override {}

private:
    corvel::CClientBytes m_bytes;
};

// A token whose reply is as long as the request's first two bytes say, up
// to a little more than the buffer holds. An empty request fails, and one
// whose third byte is 0xDD is dropped as no longer wanted.
vexa::daemon::TokenOutcome answer(uint8_t* buffer, uint32_t length, uint32_t& replyLength,
                                  const std::function<bool()>& stillWanted)
{
    using vexa::daemon::TokenOutcome;
    if (length == 0) {
        return TokenOutcome::Failed;
    }
    if (!stillWanted() || (length >= 3 && buffer[2] == 0xDD)) {
        return TokenOutcome::Dropped;
    }
    const uint32_t wanted = length >= 2 ? (buffer[0] | buffer[1] << 8) % (corvel::kDaemonPayloadMax + 16) : length;
    replyLength = wanted;
    if (wanted <= corvel::kDaemonPayloadMax) {
        std::memset(buffer, 0xA5, wanted);
    }
    return TokenOutcome::Replied;
}

void serve(const uint8_t* data, size_t size)
{
    static const vexa::daemon::ClientLoopRules kUnix{false, true, true};
    static const vexa::daemon::ClientLoopRules kTls{true, false, false};
    for (const auto* rules : {&kUnix, &kTls}) {
        MemoryStream stream(data, size);
        vexa::daemon::serveClient(stream, answer, *rules);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    vexa::daemon::setLogThreshold(corvel::kLogError + 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    readRequests(data, size);
    serve(data, size);
    return 0;
}
