#pragma once
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <stdexcept>
#include <string>

namespace vexa::daemon::test {

// The daemon's log lines (standard output and standard error, in the order
// they were written) from construction until the first call of text(). The
// capture file stays open throughout, so peek() works even while the process
// can open no further descriptor.
class CapturedLog {
public:
    CapturedLog()
    {
        char path[] = "/tmp/vexa-daemon-log-XXXXXX";
        m_file = mkstemp(path);
        if (m_file < 0) {
            throw std::runtime_error("cannot create the log capture file");
        }
        unlink(path);
        std::fflush(stdout);
        std::fflush(stderr);
        m_savedOut = dup(STDOUT_FILENO);
        m_savedErr = dup(STDERR_FILENO);
        dup2(m_file, STDOUT_FILENO);
        dup2(m_file, STDERR_FILENO);
    }
    ~CapturedLog()
    {
        text();
        close(m_file);
    }
    CapturedLog(const CapturedLog&) = delete;
    CapturedLog& operator=(const CapturedLog&) = delete;

    // What has been logged so far; the capture goes on.
    std::string peek() const
    {
        if (!m_capturing) {
            return m_text;
        }
        std::fflush(stdout);
        std::fflush(stderr);
        std::string text;
        char chunk[4096];
        off_t offset = 0;
        for (ssize_t got; (got = pread(m_file, chunk, sizeof chunk, offset)) > 0; offset += got) {
            text.append(chunk, static_cast<size_t>(got));
        }
        return text;
    }

    // Whether text appears in the log within timeout (polled every 10 ms).
    template <typename Duration>
    bool waitFor(const std::string& text, Duration timeout) const
    {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (peek().find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() >= end) {
                return false;
            }
            struct timespec pause = {0, 10 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
        return true;
    }

    // Ends the capture and returns everything logged during it.
    const std::string& text()
    {
        if (m_capturing) {
            m_text = peek();
            dup2(m_savedOut, STDOUT_FILENO);
            dup2(m_savedErr, STDERR_FILENO);
            close(m_savedOut);
            close(m_savedErr);
            m_capturing = false;
        }
        return m_text;
    }

private:
    int m_file = -1;
    int m_savedOut = -1;
    int m_savedErr = -1;
    bool m_capturing = true;
    std::string m_text;
};

}  // namespace vexa::daemon::test
