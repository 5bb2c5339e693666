#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvel {

// Unbounded byte FIFO backed by one contiguous buffer. Consumed space is
// reclaimed by moving the unread bytes to the front, so once the buffer has
// grown to the largest backlog seen, appending and taking allocate nothing.
class ByteQueue {
public:
    size_t size() const { return m_tail - m_head; }
    bool empty() const { return m_head == m_tail; }

    void append(const uint8_t* data, size_t length);
    // Moves min(length, size()) bytes from the front into out; returns that count.
    size_t take(uint8_t* out, size_t length);
    // Drops bytes from the back until size() is newSize; a larger newSize is ignored.
    void truncate(size_t newSize);

private:
    void makeRoom(size_t length);

    std::vector<uint8_t> m_storage;
    size_t m_head = 0;
    size_t m_tail = 0;
};

// Appends that are undone when the scope ends without commit(), so a message
// broken off half-way never leaves its front in the queue.
class PendingAppend {
public:
    explicit PendingAppend(ByteQueue& queue) : m_queue(queue), m_mark(queue.size()) {}
    ~PendingAppend()
    {
        if (!m_committed) {
            m_queue.truncate(m_mark);
        }
    }
    PendingAppend(const PendingAppend&) = delete;
    PendingAppend& operator=(const PendingAppend&) = delete;

    void commit() { m_committed = true; }
    // Drops what was appended so far and keeps the scope open.
    void restart() { m_queue.truncate(m_mark); }

private:
    ByteQueue& m_queue;
    const size_t m_mark;
    bool m_committed = false;
};

}  // namespace corvel
