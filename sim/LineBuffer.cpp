#include "LineBuffer.h"

namespace vexa::sim {

std::vector<std::string> LineBuffer::feed(const char* data, size_t length) {
    std::vector<std::string> lines;
    for (size_t i = 0; i < length; ++i) {
        if (data[i] == '\n') {
            complete(lines);
        } else if (pending_.size() < kMaxLine) {
            pending_ += data[i];
        } else {
            overflow_ = true;
        }
    }
    return lines;
}

std::vector<std::string> LineBuffer::finish() {
    std::vector<std::string> lines;
    if (!pending_.empty() || overflow_)
        complete(lines);
    return lines;
}

void LineBuffer::complete(std::vector<std::string>& lines) {
    if (!pending_.empty() && pending_.back() == '\r')
        pending_.pop_back();
    lines.push_back(overflow_ ? std::string(kTooLong) : pending_);
    pending_.clear();
    overflow_ = false;
}

}  // namespace vexa::sim
