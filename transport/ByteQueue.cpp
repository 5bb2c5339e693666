#include "ByteQueue.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace corvel {

void ByteQueue::makeRoom(size_t length)
{
    const size_t used = size();
    if (length <= m_storage.size() - m_tail) {
        return;
    }
    if (m_head > 0) {
        std::memmove(m_storage.data(), m_storage.data() + m_head, used);
        m_head = 0;
        m_tail = used;
    }
    if (length <= m_storage.size() - m_tail) {
        return;
    }
    if (length > m_storage.max_size() - used) {
        throw std::bad_alloc();
    }
    const size_t needed = used + length;
    const size_t doubled = m_storage.size() <= m_storage.max_size() / 2 ? m_storage.size() * 2 : needed;
    m_storage.resize(std::max({needed, doubled, size_t{256}}));
}

void ByteQueue::append(const uint8_t* data, size_t length)
{
    if (length == 0) {
        return;
    }
    makeRoom(length);
    std::memcpy(m_storage.data() + m_tail, data, length);
    m_tail += length;
}

size_t ByteQueue::take(uint8_t* out, size_t length)
{
    const size_t count = std::min(length, size());
    if (count > 0) {
        std::memcpy(out, m_storage.data() + m_head, count);
    }
    m_head += count;
    if (m_head == m_tail) {
        m_head = 0;
        m_tail = 0;
    }
    return count;
}

void ByteQueue::truncate(size_t newSize)
{
    if (newSize < size()) {
        m_tail = m_head + newSize;
    }
}

}  // namespace corvel
