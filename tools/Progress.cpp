#include "Progress.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "Library.h"

namespace vexa::tool {
namespace {

constexpr size_t kBarWidth = 30;
constexpr std::chrono::milliseconds kRedraw{100};

std::string seconds(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", value);
    return text;
}

std::string bar(size_t width, size_t from, size_t to)
{
    std::string cells(width, '-');
    for (size_t i = from; i < to && i < width; ++i) {
        cells[i] = '#';
    }
    return "[" + cells + "]";
}

}  // namespace

std::string renderProgress(const ProgressState& state, size_t barWidth)
{
    if (state.chunksTotal == 0) {
        // Size unknown: a short block that moves one cell per chunk received.
        const size_t block = barWidth < 3 ? barWidth : 3;
        const size_t span = barWidth - block + 1;
        const size_t from = span == 0 ? 0 : size_t(state.chunksDone % span);
        return state.label + " " + bar(barWidth, from, from + block) + " " + std::to_string(state.chunksDone) +
               " chunks  " + seconds(state.seconds);
    }
    const uint64_t done = state.chunksDone < state.chunksTotal ? state.chunksDone : state.chunksTotal;
    const size_t filled = size_t(done * barWidth / state.chunksTotal);
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3u%%", unsigned(done * 100 / state.chunksTotal));
    return state.label + " " + bar(barWidth, 0, filled) + " " + percent + "  " + std::to_string(done) + "/" +
           std::to_string(state.chunksTotal) + " chunks  " + seconds(state.seconds);
}

std::string renderFinished(const std::string& label, uint64_t bytes, double secondsTaken, size_t barWidth)
{
    return label + " " + bar(barWidth, 0, barWidth) + " 100%  " + std::to_string(bytes) + " bytes in " +
           seconds(secondsTaken);
}

bool progressWanted() { return ::isatty(STDERR_FILENO) == 1; }

CTransferProgress::CTransferProgress(std::string label, uint64_t chunksTotal, bool enabled)
    : m_label(std::move(label)),
      m_chunksTotal(chunksTotal),
      m_exchangesBefore(completedExchanges()),
      m_enabled(enabled),
      m_start(std::chrono::steady_clock::now())
{
    if (!m_enabled) {
        return;
    }
    m_thread = std::thread([this] {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_wake.wait_for(lock, kRedraw, [this] { return m_stopping; })) {
            draw();
        }
    });
}

CTransferProgress::~CTransferProgress() { finish(false, "", 0); }

ProgressState CTransferProgress::snapshot() const
{
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - m_start;
    return ProgressState{m_label, completedExchanges() - m_exchangesBefore, m_chunksTotal, elapsed.count()};
}

void CTransferProgress::draw()
{
    const ProgressState state = snapshot();
    // A transfer of one chunk needs no bar; while a read has received fewer
    // than one chunk it may still turn out to be one.
    const bool manyChunks = m_chunksTotal > 1 || (m_chunksTotal == 0 && state.chunksDone >= 1);
    if (!manyChunks) {
        return;
    }
    std::fprintf(stderr, "\r%s\033[K", renderProgress(state, kBarWidth).c_str());
    std::fflush(stderr);
    m_drawn = true;
}

void CTransferProgress::finish(bool completed, const std::string& doneLabel, uint64_t bytes)
{
    if (!m_thread.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
    const bool manyChunks = bytes > kChunkBytes || m_drawn;
    if (completed && manyChunks) {
        std::fprintf(stderr, "\r%s\033[K\n", renderFinished(doneLabel, bytes, snapshot().seconds, kBarWidth).c_str());
    } else if (m_drawn) {
        std::fprintf(stderr, "\r\033[K");
    }
    std::fflush(stderr);
}

}  // namespace vexa::tool
