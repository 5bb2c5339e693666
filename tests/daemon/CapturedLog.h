#pragma once
#include <gtest/gtest.h>

#include <string>

namespace vexa::daemon::test {

// The daemon's log lines (standard output, then standard error) from
// construction until the first call of text().
class CapturedLog {
public:
    CapturedLog()
    {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
    }
    ~CapturedLog() { text(); }
    CapturedLog(const CapturedLog&) = delete;
    CapturedLog& operator=(const CapturedLog&) = delete;

    const std::string& text()
    {
        if (m_capturing) {
            m_text = testing::internal::GetCapturedStdout();
            m_text += testing::internal::GetCapturedStderr();
            m_capturing = false;
        }
        return m_text;
    }

private:
    bool m_capturing = true;
    std::string m_text;
};

}  // namespace vexa::daemon::test
