#pragma once
// A program on a pseudo-terminal of its own, as a user at a terminal runs it.
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace vexa::test {

class TerminalProgram {
public:
    // Starts argv[0] (a path) in `dir` as the session leader of a new
    // terminal; `environment` (NAME=value) replaces the inherited one.
    TerminalProgram(const std::vector<std::string>& argv, const std::string& dir,
                    const std::vector<std::string>& environment);
    ~TerminalProgram();
    TerminalProgram(const TerminalProgram&) = delete;
    TerminalProgram& operator=(const TerminalProgram&) = delete;

    // Reads the screen until it holds `text`; false on timeout or end.
    bool waitFor(const std::string& text, std::chrono::milliseconds timeout);
    void type(const std::string& keys);
    // Reads to the end and returns the exit status (-1 on timeout).
    int wait(std::chrono::milliseconds timeout);
    const std::string& screen() const { return m_screen; }

private:
    bool readSome(std::chrono::milliseconds timeout);

    pid_t m_pid = -1;
    int m_master = -1;
    std::string m_screen;  // everything the program wrote
};

}  // namespace vexa::test
