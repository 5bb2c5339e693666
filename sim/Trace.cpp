#include "Trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace vexa::sim {
namespace {

std::string line(const std::string& serial, const char* direction, const std::vector<uint8_t>& message)
{
    static const char digits[] = "0123456789abcdef";
    std::string text = serial + " " + direction + " " + std::to_string(message.size()) + " ";
    if (message.empty()) {
        text += '-';
    }
    for (uint8_t b : message) {
        text += digits[b >> 4];
        text += digits[b & 0x0F];
    }
    text += '\n';
    return text;
}

}  // namespace

CTrace::CTrace(const std::string& path)
{
    m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (m_fd < 0) {
        throw std::runtime_error("cannot open trace file " + path + ": " + std::strerror(errno));
    }
}

CTrace::~CTrace() { ::close(m_fd); }

void CTrace::record(const std::string& serial, const char* direction, const std::vector<uint8_t>& message)
{
    const std::string text = line(serial, direction, message);
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(m_fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;  // a full disk must not stop the token
        }
        done += size_t(n);
    }
}

}  // namespace vexa::sim
