#include "DataStore.h"

#include <algorithm>

#include "FileStore.h"

namespace vexa::sim::engine {

DataStore::DataStore(std::string path) : path_(std::move(path)) {
    if (auto content = readFile(path_); content && content->size() <= kCapacity)
        content_ = std::move(*content);
}

CK_RV DataStore::abandon(CK_RV rv) {
    pending_.clear();
    pendingTotal_ = 0;
    return rv;
}

CK_RV DataStore::write(uint32_t total, const Bytes& chunk, uint32_t end) {
    if (total == 0 || total > kCapacity)
        return abandon(CKR_DATA_LEN_RANGE);
    if (chunk.empty() || chunk.size() > end || end > total)
        return abandon(CKR_DATA_INVALID);
    const uint32_t start = end - static_cast<uint32_t>(chunk.size());
    if (start == 0) {
        pending_.clear();
        pendingTotal_ = total;
    } else if (pendingTotal_ != total || pending_.size() != start) {
        return abandon(CKR_DATA_INVALID);
    }
    pending_.insert(pending_.end(), chunk.begin(), chunk.end());
    if (pending_.size() < total)
        return CKR_OPERATION_ACTIVE;
    if (!writeFileAtomic(path_, pending_))
        return abandon(CKR_DEVICE_ERROR);
    content_.swap(pending_);
    return abandon(CKR_OK);
}

CK_RV DataStore::read(uint32_t capacity, uint32_t cursor, ReadChunk& out) const {
    const auto size = static_cast<uint32_t>(content_.size());
    if (size > capacity) {
        out.needed = size;
        return CKR_BUFFER_TOO_SMALL;
    }
    if (cursor > size)
        return CKR_ARGUMENTS_BAD;
    const uint32_t n = std::min(size - cursor, kChunk);
    out.bytes.assign(content_.begin() + cursor, content_.begin() + cursor + n);
    out.cursor = cursor + n;
    return out.cursor < size ? CKR_OPERATION_ACTIVE : CKR_OK;
}

}  // namespace vexa::sim::engine
