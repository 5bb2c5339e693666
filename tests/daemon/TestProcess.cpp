#include "TestProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "ProcessEnvironment.h"

namespace vexa::daemon::test {

void WriteFile(const std::string& path, const std::string& content, unsigned mode)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    std::filesystem::permissions(path, static_cast<std::filesystem::perms>(mode));
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const ProcessOptions& options)
{
    std::vector<std::string> args = argv;
    std::vector<std::string> env = vexa::test::mergedEnvironment(options.environment);
    auto argPointers = vexa::sim::nullTerminated(args);
    auto envPointers = vexa::sim::nullTerminated(env);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, m_dir.file("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, m_dir.file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (!options.cwd.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());
    }
    const int rc = posix_spawnp(&m_pid, args[0].c_str(), &actions, nullptr, argPointers.data(), envPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(rc));
    }
}

ChildProcess::~ChildProcess()
{
    if (running()) {
        kill(m_pid, SIGKILL);
        wait(std::chrono::seconds(10));
    }
}

std::string ChildProcess::out() const { return ReadFile(m_dir.file("stdout")); }
std::string ChildProcess::err() const { return ReadFile(m_dir.file("stderr")); }

bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) const
{
    return WaitUntil([&] { return out().find(text) != std::string::npos || err().find(text) != std::string::npos; },
                     timeout);
}

void ChildProcess::signal(int number)
{
    if (running()) {
        kill(m_pid, number);
    }
}

int ChildProcess::wait(std::chrono::milliseconds timeout)
{
    WaitUntil([&] { return !running(); }, timeout);
    return m_status;
}

bool ChildProcess::running()
{
    if (m_status != -1 || m_pid <= 0) {
        return false;
    }
    int raw = 0;
    if (waitpid(m_pid, &raw, WNOHANG) != m_pid) {
        return true;
    }
    m_status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return false;
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options,
                         std::chrono::milliseconds timeout)
{
    ChildProcess child(argv, options);
    ProcessResult result;
    result.status = child.wait(timeout);
    result.out = child.out();
    result.err = child.err();
    return result;
}

std::vector<std::string> LinesContaining(const std::string& text, const std::string& needle)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.find(needle) != std::string::npos) {
            lines.push_back(line);
        }
    }
    return lines;
}

}  // namespace vexa::daemon::test
