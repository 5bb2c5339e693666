#pragma once
// A token stand-in behind the transport interface: it answers each request
// with the request reversed (nothing for an empty one), like the simulator's
// echo firmware, and can be told to fail.
#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "CTransport.h"
#include "Exception.h"

namespace vexa::daemon::test {

class EchoTransport : public corvel::CTransport {
public:
    std::atomic<bool> failWrite{false};
    // The write finds the token silent before it sends (a HID transport that
    // could not get back in step after an abandoned reply).
    std::atomic<bool> writeTimesOut{false};
    std::atomic<bool> failRead{false};
    std::atomic<int> overlaps{0};  // writes that came before the previous request's read
    // Bytes added to each reply. A reply longer than the reader's capacity is
    // discarded whole and the read fails, as the HID transport does.
    std::atomic<size_t> replyExtra{0};
    // A broken transport: the read claims one byte more than the capacity.
    std::atomic<bool> overstateReply{false};
    std::function<void()> beforeReply;  // runs at the start of each read, if set

    bool isOpen() override { return true; }
    uint32_t getTimeout() override { return 0; }
    const char* getName() override { return "FAKE"; }
    void close() override
    {
        if (closeCounter != nullptr) {
            ++*closeCounter;
        }
    }

    size_t write(const std::vector<uint8_t>& data) override { return write(data.data(), data.size()); }
    size_t write(const uint8_t* data, size_t length) override
    {
        if (failWrite) {
            throw corvel::IOException(corvel::TransportFailure::Closed, "device gone");
        }
        if (writeTimesOut) {
            throw corvel::IOException(corvel::TransportFailure::TimedOut, "no answer");
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_pending) {
            ++overlaps;
        }
        m_pending = true;
        m_requests.emplace_back(data, data + length);
        m_reply.assign(data, data + length);
        std::reverse(m_reply.begin(), m_reply.end());
        m_reply.resize(m_reply.size() + replyExtra, 0xEE);
        return length;
    }

    size_t read(uint8_t* buffer, size_t capacity) override
    {
        if (beforeReply) {
            beforeReply();
        }
        if (failRead) {
            throw corvel::IOException(corvel::TransportFailure::BrokenFraming, "read broke");
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pending = false;
        if (m_reply.size() > capacity) {
            m_reply.clear();
            throw corvel::IOException(corvel::TransportFailure::TooLong, "reply too long");
        }
        const size_t count = std::min(capacity, m_reply.size());
        if (overstateReply) {
            std::copy(m_reply.begin(), m_reply.end(), buffer);
            m_reply.clear();
            return capacity + 1;
        }
        std::copy(m_reply.begin(), m_reply.begin() + static_cast<long>(count), buffer);
        m_reply.clear();
        return count;
    }

    std::vector<std::vector<uint8_t>> requests()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_requests;
    }

    // Counts close() calls, if set. Shared: a port released by a connection
    // thread after its test has ended must not write into that test's memory.
    std::shared_ptr<std::atomic<int>> closeCounter;

private:
    std::mutex m_mutex;  // guards the request record and the pending reply
    bool m_pending = false;
    std::vector<std::vector<uint8_t>> m_requests;
    std::vector<uint8_t> m_reply;
};

}  // namespace vexa::daemon::test
