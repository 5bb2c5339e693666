#include "DataStore.h"

#include <algorithm>

#include "FileStore.h"

namespace vexa::sim::engine {

CDataStore::CDataStore(std::string path) : m_path(std::move(path))
{
    if (auto content = readFile(m_path); content && content->size() <= kCapacity) {
        m_content = std::move(*content);
    }
}

CK_RV CDataStore::abandon(CK_RV rv)
{
    m_pending.clear();
    m_pendingTotal = 0;
    return rv;
}

CK_RV CDataStore::write(uint32_t total, const Bytes& chunk, uint32_t end)
{
    if (total == 0 || total > kCapacity) {
        return abandon(CKR_DATA_LEN_RANGE);
    }
    if (chunk.empty() || chunk.size() > end || end > total) {
        return abandon(CKR_DATA_INVALID);
    }
    const uint32_t start = end - static_cast<uint32_t>(chunk.size());
    if (start == 0) {
        m_pending.clear();
        m_pendingTotal = total;
    } else if (m_pendingTotal != total || m_pending.size() != start) {
        return abandon(CKR_DATA_INVALID);
    }
    m_pending.insert(m_pending.end(), chunk.begin(), chunk.end());
    if (m_pending.size() < total) {
        return CKR_OPERATION_ACTIVE;
    }
    if (!writeFileAtomic(m_path, m_pending)) {
        return abandon(CKR_DEVICE_ERROR);
    }
    m_content.swap(m_pending);
    return abandon(CKR_OK);
}

CK_RV CDataStore::read(uint32_t capacity, uint32_t cursor, ReadChunk& out) const
{
    const auto size = static_cast<uint32_t>(m_content.size());
    if (size > capacity) {
        out.needed = size;
        return CKR_BUFFER_TOO_SMALL;
    }
    if (cursor > size) {
        return CKR_ARGUMENTS_BAD;
    }
    const uint32_t n = std::min(size - cursor, kChunk);
    out.bytes.assign(m_content.begin() + cursor, m_content.begin() + cursor + n);
    out.cursor = cursor + n;
    return out.cursor < size ? CKR_OPERATION_ACTIVE : CKR_OK;
}

}  // namespace vexa::sim::engine
