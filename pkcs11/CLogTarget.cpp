#include "CLogTarget.h"

#include <iomanip>
#include <iostream>
#include <sstream>
#include <thread>

namespace vexa::pkcs11 {

CLogTarget::CLogTarget() : m_start(std::chrono::steady_clock::now()) {}

CLogTarget::~CLogTarget() = default;

std::string CLogTarget::formatLine(int32_t level, const std::string& text) const
{
    const auto elapsed = std::chrono::steady_clock::now() - m_start;
    const double seconds =
        static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()) / 1e9;
    // Built apart so that the application's own std::cout formatting is left alone.
    std::ostringstream line;
    line << std::fixed << std::setprecision(2) << seconds << " t:" << std::this_thread::get_id() << ' '
         << corvel::levelName(level) << " : " << text << '\n';
    return line.str();
}

void CLogTarget::logText(int32_t level, const std::string& text)
{
    if (!isLevelEnabled(level)) {
        return;
    }
    const std::string line = formatLine(level, text);
    std::lock_guard<std::mutex> lock(m_outputMutex);
    if (m_console) {
        std::cout.write(line.data(), static_cast<std::streamsize>(line.size()));
        std::cout.flush();
    }
    if (m_file.is_open()) {
        m_file.write(line.data(), static_cast<std::streamsize>(line.size()));
        m_file.flush();
    }
}

void CLogTarget::logText(int32_t level, const char* text)
{
    if (isLevelEnabled(level)) {
        logText(level, std::string(text));
    }
}

void CLogTarget::openLogFile(const std::string& path)
{
    std::lock_guard<std::mutex> lock(m_outputMutex);
    if (m_file.is_open()) {
        m_file.close();
    }
    m_file.clear();
    m_file.open(path, std::ios::out | std::ios::app);
}

}  // namespace vexa::pkcs11
