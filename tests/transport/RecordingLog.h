#pragma once
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ILogTarget.h"

namespace vexa::test {

// Keeps every line a transport logs, with its level.
class RecordingLog final : public corvel::ILogTarget {
public:
    void logText(int32_t level, const std::string& text) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.emplace_back(level, text);
    }
    std::vector<std::pair<int32_t, std::string>> lines()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }
    // Every line, for failure messages.
    std::string text()
    {
        std::string all;
        for (const auto& line : lines()) {
            all += std::to_string(line.first) + " " + line.second + "\n";
        }
        return all;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.clear();
    }
    bool contains(int32_t level, const std::string& text)
    {
        for (const auto& line : lines()) {
            if (line.first == level && line.second == text) {
                return true;
            }
        }
        return false;
    }
    size_t count(const std::string& text)
    {
        size_t n = 0;
        for (const auto& line : lines()) {
            n += line.second == text ? 1 : 0;
        }
        return n;
    }
    bool containsPrefix(int32_t level, const std::string& prefix)
    {
        for (const auto& line : lines()) {
            if (line.first == level && line.second.compare(0, prefix.size(), prefix) == 0) {
                return true;
            }
        }
        return false;
    }

private:
    std::mutex m_mutex;  // guards m_lines
    std::vector<std::pair<int32_t, std::string>> m_lines;
};

}  // namespace vexa::test
