#include "TokenEventLog.h"

#include "FileStore.h"

namespace vexa::sim::engine {

EventLog::EventLog(std::string path, size_t capacity) : path_(std::move(path)), capacity_(capacity) {
    if (auto content = readFile(path_))
        text_.assign(content->begin(), content->end());
    dropOldest();
}

void EventLog::add(const std::string& stamp, const std::string& event) {
    std::string line = stamp + " " + event;
    if (line.size() + 1 > capacity_)
        line.resize(capacity_ - 1);
    text_ += line + "\n";
    dropOldest();
    // A lost log line is no reason to fail the operation it records.
    writeFileAtomic(path_, Bytes(text_.begin(), text_.end()));
}

void EventLog::dropOldest() {
    while (text_.size() > capacity_) {
        auto eol = text_.find('\n');
        text_.erase(0, eol == std::string::npos ? text_.size() : eol + 1);
    }
}

}  // namespace vexa::sim::engine
