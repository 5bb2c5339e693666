#pragma once
// A token stand-in behind the transport interface: it answers each request
// with the request reversed (nothing for an empty one), like the simulator's
// echo firmware, and can be told to fail.
#include <algorithm>
#include <atomic>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "CTransport.h"
#include "Exception.h"

namespace vexa::daemon::test {

class EchoTransport : public corvel::CTransport {
public:
    std::atomic<bool> failWrite{false};
    std::atomic<bool> failRead{false};
    std::atomic<int> overlaps{0};  // writes that came before the previous request's read

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
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_pending) {
            ++overlaps;
        }
        m_pending = true;
        m_requests.emplace_back(data, data + length);
        m_reply.assign(data, data + length);
        std::reverse(m_reply.begin(), m_reply.end());
        return length;
    }

    size_t read(uint8_t* buffer, size_t capacity) override
    {
        if (failRead) {
            throw corvel::IOException(corvel::TransportFailure::BrokenFraming, "read broke");
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pending = false;
        const size_t count = std::min(capacity, m_reply.size());
        std::copy(m_reply.begin(), m_reply.begin() + static_cast<long>(count), buffer);
        m_reply.clear();
        return count;
    }

    std::vector<std::vector<uint8_t>> requests()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_requests;
    }

    std::atomic<int>* closeCounter = nullptr;  // counts close() calls, if set

private:
    std::mutex m_mutex;  // guards the request record and the pending reply
    bool m_pending = false;
    std::vector<std::vector<uint8_t>> m_requests;
    std::vector<uint8_t> m_reply;
};

}  // namespace vexa::daemon::test
