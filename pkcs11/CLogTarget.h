#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <string>

#include "ILogTarget.h"

namespace vexa::pkcs11 {

// Level that no line reaches: logging disabled by configuration.
constexpr int32_t kLogDisabled = 1050;

// The library's log sink: "<seconds since start> t:<thread> <LEVEL> : <text>"
// to standard output and/or a log file, filtered by one level.
class CLogTarget final : public corvel::ILogTarget {
public:
    CLogTarget();
    ~CLogTarget();
    CLogTarget(const CLogTarget&) = delete;
    CLogTarget& operator=(const CLogTarget&) = delete;

    void logText(int32_t level, const std::string& text) override;
    // The same for a C string, made a string only when the line is written:
    // the trace line that opens every call costs nothing while filtered.
    void logText(int32_t level, const char* text);
    // Callers that build an expensive message ask first.
    bool isLevelEnabled(int32_t level) const { return level >= m_level.load(); }

    void setLogLevel(int32_t level) { m_level = level; }
    void setLogConsole(bool on) { m_console = on; }
    // Closes any open log file and opens path for appending; a file that
    // cannot be opened leaves logging to the console only.
    void openLogFile(const std::string& path);

private:
    std::string formatLine(int32_t level, const std::string& text) const;

    std::atomic<int32_t> m_level{corvel::kLogError};
    std::atomic<bool> m_console{false};
    const std::chrono::steady_clock::time_point m_start;
    std::mutex m_outputMutex;  // guards m_file and the console write, so threads never tear a line
    std::ofstream m_file;
};

}  // namespace vexa::pkcs11
