#include "Pin.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>

#include "Errors.h"

namespace vexa::tool {
namespace {

// The controlling terminal with echo off for as long as the object lives.
class CSilentTerminal {
public:
    CSilentTerminal() : m_fd(::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY))
    {
        if (m_fd < 0 || ::tcgetattr(m_fd, &m_saved) != 0) {
            return;
        }
        termios silent = m_saved;
        silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        silent.c_lflag |= ECHONL;
        m_silenced = ::tcsetattr(m_fd, TCSAFLUSH, &silent) == 0;
    }
    ~CSilentTerminal()
    {
        if (m_silenced) {
            ::tcsetattr(m_fd, TCSAFLUSH, &m_saved);
        }
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    CSilentTerminal(const CSilentTerminal&) = delete;
    CSilentTerminal& operator=(const CSilentTerminal&) = delete;

    bool usable() const { return m_silenced; }

    void write(const std::string& text) const
    {
        size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::write(m_fd, text.data() + done, text.size() - done);
            if (n <= 0) {
                return;
            }
            done += size_t(n);
        }
    }

    // One line without its newline; nullopt at end of input.
    std::optional<std::string> readLine() const
    {
        std::string line;
        char c = 0;
        for (;;) {
            const ssize_t n = ::read(m_fd, &c, 1);
            if (n <= 0) {
                return std::nullopt;
            }
            if (c == '\n' || c == '\r') {
                return line;
            }
            line += c;
        }
    }

private:
    int m_fd;
    termios m_saved{};
    bool m_silenced = false;
};

}  // namespace

std::string obtainPin(const std::optional<std::string>& option, const std::string& prompt, const std::string& command)
{
    if (option) {
        return *option;
    }
    if (const char* fromEnvironment = std::getenv(kPinVariable)) {
        return fromEnvironment;
    }
    CSilentTerminal terminal;
    if (!terminal.usable()) {
        throw UsageError(std::string("no PIN: give --pin PIN, set ") + kPinVariable + " or run on a terminal", command);
    }
    terminal.write(prompt);
    const auto pin = terminal.readLine();
    if (!pin) {
        throw Failure("no PIN entered");
    }
    return *pin;
}

}  // namespace vexa::tool
