#pragma once
// A progress bar on standard error for the chunked transfers. The library
// moves a whole block in one call, so the bar counts the exchanges that call
// completes (completedExchanges): each moves one chunk. It never shows more
// than has been moved; for a read, whose size is not known until the end, it
// shows the chunks received so far.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace vexa::tool {

// Bytes a transfer moves per exchange at most.
constexpr uint64_t kChunkBytes = 1536;

struct ProgressState {
    std::string label;  // "writing data.bin"
    uint64_t chunksDone = 0;
    uint64_t chunksTotal = 0;  // 0: not known
    double seconds = 0;
};

// One line, without line end.
std::string renderProgress(const ProgressState& state, size_t barWidth);
std::string renderFinished(const std::string& label, uint64_t bytes, double seconds, size_t barWidth);

class CTransferProgress {
public:
    // Draws on standard error while the object lives, when `enabled` and once
    // more than one chunk is involved. chunksTotal 0: not known.
    CTransferProgress(std::string label, uint64_t chunksTotal, bool enabled);
    ~CTransferProgress();
    CTransferProgress(const CTransferProgress&) = delete;
    CTransferProgress& operator=(const CTransferProgress&) = delete;

    // Stops drawing; with `completed`, draws the full bar with this summary.
    void finish(bool completed, const std::string& doneLabel, uint64_t bytes);

private:
    void draw();
    ProgressState snapshot() const;

    const std::string m_label;
    const uint64_t m_chunksTotal;
    const uint64_t m_exchangesBefore;
    const bool m_enabled;
    const std::chrono::steady_clock::time_point m_start;
    bool m_drawn = false;  // touched by the drawing thread until it is joined
    std::mutex m_mutex;    // guards m_stopping
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::thread m_thread;
};

// True when standard error is a terminal.
bool progressWanted();

}  // namespace vexa::tool
